// A standard user against an elevated install: the installers' lock taken
// or made first by someone else, a package someone else can change, a /log
// file someone else prepared. Each row is the machine a run meets, its
// command, and how it must end: the exit code, the line its log shows, and,
// when it refuses, the machine exactly as it was.
#include "install/single_installer.h"
#include "tests/support/scenario.h"

#include <functional>

using namespace scenario;

namespace {

const sim::Text User = u"S-1-5-21-1-2-3-1002"; // a standard user
const sim::Text LogFile = u"C:\\Logs\\k.log";
const sim::Text Elsewhere = u"C:\\Windows\\system32\\config.dat";
uint64_t waited = 0; // the last run's virtual time

sim::Token StandardUser() {
    return sim::Token{User, 1, false, false, false}; // no UAC split: not an administrator
}

// A program of `who` that made the global mutex first (with `sddl`, or its
// token's default) and holds it.
void Squatter(const sim::Token& who, const sim::Text& sddl = u"") {
    const sim::Text image = u"C:\\Users\\Public\\squat.exe";
    sim::ProgramScript s;
    s.mutexName = u"Global\\Kestrovane.ksvinstall";
    s.mutexSecurity = sddl;
    sim::M().programs[sim::Upper(image)] = s;
    sim::PutFile(image);
    sim::StartProcess(image, image, &who);
}

// Another run of this installer took the lock and never lets it go.
void HungInstaller(bool namespaces) {
    sim::M().privateNamespaces = namespaces;
    sim::M().currentInstaller = 7;
    InstallersLock lock;
    Refusal why;
    EXPECT_TRUE(TakeInstallersLock(lock, why));
    sim::M().currentInstaller = sim::InstallerProcess;
}

sim::File& Log(const std::string& text = "an earlier log, longer than the next one will be") {
    sim::MakeDirectory(u"C:\\Logs");
    return sim::PutFile(LogFile, text);
}

struct Case {
    const char* name;
    std::function<void()> prepare;
    const char* command;
    int exitCode;
    std::string line; // shown in the dialog or written to the /log file
    bool refused;     // nothing on the machine may change
    std::function<bool()> holds = [] { return true; };
};

const std::vector<Case>& Cases() {
    const std::string setup = "C:\\Program Files\\Kestrovane\\setup";
    static const std::vector<Case> all = {
        {"another installer holds the lock beyond the bound", [] { HungInstaller(true); },
         "install", 104,
         "Error(22): Another installer still holds the installers' lock after 180 seconds", true,
         [] { return waited >= InstallersLockWait; }},
        {"the same without private namespaces", [] { HungInstaller(false); },
         "install /quiet /log C:\\Logs\\k.log", 104,
         "Error(22): Another installer still holds the installers' lock after 180 seconds", true},
        {"a user's mutex where the namespace has no room for it", [] { Squatter(StandardUser()); },
         "install", 1, "", false},
        {"a user's mutex in the global namespace",
         [] {
             sim::M().privateNamespaces = false;
             Squatter(StandardUser(), u"D:(A;;GA;;;WD)");
         },
         "install", 104,
         "Error(24): Global\\Kestrovane.ksvinstall can be changed by S-1-5-21-1-2-3-1002", true,
         [] { return waited < 1000; }},
        {"a user's mutex that lets no administrator in",
         [] {
             sim::M().privateNamespaces = false;
             Squatter(StandardUser());
         },
         "install", 104, "Error(23): Can't take the installers' lock", true},
        {"a user's mutex that shuts everyone out",
         [] {
             sim::M().privateNamespaces = false;
             Squatter(StandardUser(), u"D:(D;;GA;;;WD)");
         },
         "install", 104,
         "Error(23): Can't take the installers' lock Global\\Kestrovane.ksvinstall - (Access is "
         "denied.)",
         true},
        {"a squatted lock stops the verbs without a log too",
         [] {
             sim::M().privateNamespaces = false;
             Squatter(StandardUser());
         },
         "removetray", 104, "", true},
        {"a setup folder Users may write to",
         [] {
             sim::Secure(SetupDir.substr(0, SetupDir.size() - 1),
                         u"O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;OICI;0x1301bf;;;BU)");
         },
         "install", 100, "Error(24): " + setup + " can be changed by BUILTIN\\Users", true},
        {"a tray program a user owns",
         [] { sim::Secure(TrayExe, u"O:" + User + u"D:(A;;FA;;;SY)"); }, "install", 100,
         "Error(24): C:\\Program Files\\Kestrovane\\kestray.exe can be changed by " + Ascii(User),
         true},
        {"a folder above the package that users may rename",
         [] { sim::Secure(u"C:\\Program Files", u"O:SYD:(A;;FA;;;SY)(A;;0x10000;;;AU)"); },
         "install", 100,
         "Error(24): C:\\Program Files can be changed by NT AUTHORITY\\Authenticated Users", true},
        {"in_notray takes no tray program",
         [] { sim::Secure(TrayExe, u"O:" + User + u"D:(A;;FA;;;SY)"); }, "in_notray", 1, "", false},
        {"a test machine turns the package check off",
         [] {
             sim::Secure(SetupDir.substr(0, SetupDir.size() - 1),
                         u"O:BAD:(A;;FA;;;SY)(A;;FA;;;BU)");
         },
         "install /nopackagecheck /log C:\\Logs\\k.log", 1,
         "Package folder not checked (/nopackagecheck)", false},
        {"a log file a user made beforehand",
         [] { sim::Secure(Log().path, u"O:" + User + u"D:(A;;FA;;;" + User + u")"); },
         "install /quiet /log C:\\Logs\\k.log", 6, "", true},
        {"a log file with a second name", [] { Log().links = 2; },
         "install /quiet /log C:\\Logs\\k.log", 6, "", true},
        {"a log file that links elsewhere",
         [] {
             sim::PutFile(Elsewhere, "system data");
             Log("").linkTarget = Elsewhere;
         },
         "install /quiet /log C:\\Logs\\k.log", 6, "", true,
         [] { return sim::FileContent(Elsewhere) == "system data"; }},
        {"a log file another program holds open", [] { Log().heldOpen = true; },
         "install /quiet /log C:\\Logs\\k.log", 6, "", true},
        {"a log file in a folder that is not there", [] {}, "install /quiet /log C:\\Nope\\k.log",
         6, "", true},
        {"an administrators' earlier log is replaced whole", [] { Log(); },
         "install /quiet /log C:\\Logs\\k.log", 1, "Kestrovane 2501", false,
         [] { return sim::FileContent(LogFile).find("earlier") == std::string::npos; }},
    };
    return all;
}

} // namespace

TEST(SecurityScenarios, NoStandardUserCanHangHijackOrRedirectAnInstall) {
    const testing::TestResult& result =
        *testing::UnitTest::GetInstance()->current_test_info()->result();
    int failing = 0;
    for (const Case& c : Cases()) {
        int parts = result.total_part_count();
        sim::Reset();
        InstalledMachine();
        sim::MakeDirectory(u"C:\\Logs");
        c.prepare();
        std::string before = MachineDigest(LogFile);
        sim::M().shiftDown = false;
        sim::M().dialogs.clear();
        DWORD start = sim::M().tick;
        int code = RunCommand(std::string("ksvinstall.exe ") + c.command);
        waited = static_cast<DWORD>(sim::M().tick - start);
        std::string shown =
            sim::M().dialogs.empty() ? std::string() : Ascii(sim::M().dialogs.back().itemText);
        if (std::string(c.command).find("/log") != std::string::npos)
            shown = sim::FileContent(LogFile);
        EXPECT_EQ(code, c.exitCode) << c.name;
        EXPECT_NE(shown.find(c.line), std::string::npos) << c.name << ":\n" << shown;
        if (c.refused) {
            EXPECT_EQ(MachineDigest(LogFile), before) << c.name;
        }
        EXPECT_TRUE(c.holds()) << c.name;
        EXPECT_EQ(sim::LiveBlocks(), 0u) << c.name;
        EXPECT_EQ(sim::M().spooler.state, static_cast<DWORD>(SERVICE_RUNNING)) << c.name;
        failing += result.total_part_count() > parts;
    }
    std::printf("security scenarios: %zu rows, %d failing\n", Cases().size(), failing);
}
