#include "tray/tray_control.h"

#include "tests/support/test_machine.h"

#include <cstring>
#include <string>

namespace {

const sim::Text RunKey = u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const sim::Text InstalledTray = u"C:\\Program Files\\Kestrovane\\kestray.exe";
const std::string QuotedInstalledTray = "\"C:\\Program Files\\Kestrovane\\kestray.exe\"";

// A tray program that honours the protocol, quitting this long after the
// quit message.
sim::ProgramScript Tray(DWORD quitDelayMs = 0) {
    sim::ProgramScript s;
    s.mutexName = sim::Widen(TrayMutexName);
    s.windowClass = TrayWindowClass;
    s.windowTitle = u"Kestrovane";
    s.quitMessage = TrayQuitMessage;
    s.quitDelayMs = quitDelayMs;
    return s;
}

// The tray program as the system started it at logon.
sim::Process& RunTray(const sim::ProgramScript& script, const sim::Text& path = InstalledTray) {
    sim::PutFile(path, "tray");
    sim::M().programs[sim::Upper(path)] = script;
    return sim::StartProcess(path, u"\"" + path + u"\"");
}

void PutRunValue(const std::string& text) {
    sim::SetStringValue(RunKey, u"KestrovaneTray", sim::Widen(text));
}

// The Run value's text; "(none)" when it is missing.
std::string RunValue() {
    sim::RegValue* v = sim::FindValue(RunKey, u"KestrovaneTray");
    if (!v)
        return "(none)";
    sim::Text text;
    for (size_t i = 0; i + 1 < v->data.size(); i += 2)
        text.push_back(static_cast<char16_t>(v->data[i] | (v->data[i + 1] << 8)));
    return Ascii(text.substr(0, text.find(u'\0')));
}

size_t QuitMessagesTo(const sim::Process& tray) {
    size_t n = 0;
    for (const sim::Window& w : sim::M().windows)
        if (w.handle == tray.window)
            for (const sim::PostedMessage& m : w.posted)
                n += m.message == TrayQuitMessage && m.wParam == 0 && m.lParam == 0;
    return n;
}

class TrayTest : public MachineTest {
  protected:
    InstallContext context{};
    bool started = false;

    // An uninstall's StopTray: our tray program is the installed one.
    static bool Stop() { return StopTray(InstalledTray.c_str(), TrayFile::Delete, nullptr); }

    void Start(uint32_t mode = Mode64Bit) {
        InitContext(context, mode);
        started = true;
    }
    // RegisterTray is silent: it never logs and never counts an error.
    void Register() {
        std::string before = LogText(context);
        RegisterTray(context);
        EXPECT_EQ(LogText(context), before);
        EXPECT_EQ(context.ErrorCount, 0);
    }
    void TearDown() override {
        if (started)
            FreeContext(context);
        EXPECT_EQ(sim::OpenHandles(sim::HandleKind::Mutex), 0u);
        EXPECT_EQ(sim::OpenHandles(sim::HandleKind::Process), 0u);
        EXPECT_EQ(sim::OpenHandles(sim::HandleKind::Thread), 0u);
        EXPECT_EQ(sim::OpenHandles(sim::HandleKind::Key), 0u);
        EXPECT_EQ(sim::LiveBlocks(), 0u);
        MachineTest::TearDown();
    }
};

using RegisterTrayTest = TrayTest;
using StopTrayTest = TrayTest;

} // namespace

TEST_F(RegisterTrayTest, RegistersTheQuotedPathAndStartsIt) {
    sim::PutFile(InstalledTray, "tray");
    Start();
    Register();
    EXPECT_EQ(RunValue(), QuotedInstalledTray);
    sim::RegValue* v = sim::FindValue(RunKey, u"KestrovaneTray");
    EXPECT_EQ(v->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(v->data.size(), (QuotedInstalledTray.size() + 1) * 2) << "terminator counted";

    ASSERT_EQ(sim::M().processes.size(), 1u);
    const sim::Process& p = sim::M().processes[0];
    EXPECT_EQ(Ascii(p.image), Ascii(InstalledTray));
    EXPECT_EQ(Ascii(p.commandLine), QuotedInstalledTray);
    EXPECT_EQ(Ascii(p.application), "");
    EXPECT_EQ(p.inheritHandles, FALSE);
    EXPECT_EQ(p.creationFlags, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
    EXPECT_FALSE(p.ownEnvironment);
    EXPECT_EQ(Ascii(p.currentDirectory), "");
    STARTUPINFOW expected;
    std::memset(&expected, 0, sizeof expected);
    expected.cb = sizeof expected;
    expected.dwFlags = STARTF_USESHOWWINDOW;
    expected.wShowWindow = SW_SHOW;
    EXPECT_EQ(std::memcmp(&p.startup, &expected, sizeof expected), 0)
        << "zero-filled but for cb, dwFlags " << p.startup.dwFlags << " and wShowWindow "
        << p.startup.wShowWindow;
    EXPECT_EQ(sim::M().sleptMs, 0u) << "the installer does not wait for the tray program";
}

// At logon the system starts what the Run value names; with the path in
// quotes a "C:\Program.exe" is not what it finds first.
// Whoever runs the installer, the tray program starts unelevated where a
// person sees it, or not at all (the Run value starts it at the next logon).
TEST_F(RegisterTrayTest, StartsWhereAPersonSeesItWithoutTheInstallersRights) {
    const sim::Token uacOff = {sim::UserSid, 1, true, true, false};
    const struct {
        const char* who;
        sim::Token token;
        bool shell;
        sim::Token sessionUser; // session 1's, as WTSQueryUserToken gives it
        DWORD state;
        const char* started; // "": none; else the session and whether elevated
    } cases[] = {
        {"administrator under UAC", sim::ElevatedToken(), true, sim::LimitedToken(), WTSActive,
         "1 limited"},
        // Windows hands the linked half to LocalSystem only: no way without a shell.
        {"administrator, no shell", sim::ElevatedToken(), false, sim::LimitedToken(), WTSActive,
         ""},
        {"administrator, UAC off", uacOff, true, uacOff, WTSActive, "1 elevated"},
        {"LocalSystem", sim::SystemToken(), false, sim::LimitedToken(), WTSActive, "1 limited"},
        {"LocalSystem, the user's token elevated", sim::SystemToken(), false, sim::ElevatedToken(),
         WTSActive, "1 limited"},
        {"LocalSystem, the user disconnected", sim::SystemToken(), false, sim::LimitedToken(),
         WTSDisconnected, ""},
    };
    for (const auto& c : cases) {
        sim::Reset();
        sim::PutFile(InstalledTray, "tray");
        sim::M().token = c.token;
        sim::M().shell.running = c.shell;
        sim::M().sessions[1].user = c.sessionUser;
        sim::M().sessions[1].state = c.state;
        InstallContext run{};
        InitContext(run, Mode64Bit);
        RegisterTray(run);
        std::string started;
        for (const sim::Process& p : sim::M().processes)
            started +=
                std::to_string(p.token.sessionId) + (p.token.elevated ? " elevated" : " limited");
        EXPECT_EQ(started, c.started) << c.who;
        EXPECT_EQ(RunValue(), QuotedInstalledTray) << c.who;
        FreeContext(run);
        for (sim::HandleKind kind : {sim::HandleKind::Token, sim::HandleKind::Process})
            EXPECT_EQ(sim::OpenHandles(kind), 0u) << c.who;
        EXPECT_EQ(sim::LiveBlocks(), 0u) << c.who;
    }
}

TEST_F(RegisterTrayTest, LogonStartsTheTrayProgramNotAProgramOnThePathsFirstBlank) {
    sim::PutFile(InstalledTray, "tray");
    sim::PutFile(u"C:\\Program.exe", "someone else's");
    Start();
    Register();
    std::vector<sim::Text> started = sim::Logon();
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(Ascii(started[0]), Ascii(InstalledTray));
}

TEST_F(RegisterTrayTest, DoesNothingWithoutTrayOrOnOldWindows) {
    sim::PutFile(InstalledTray, "tray");
    const struct {
        const char* what;
        uint32_t mode;
        DWORD major, platform;
    } cases[] = {
        {"in_notray", Mode64Bit | ModeNoTray, 10, VER_PLATFORM_WIN32_NT},
        {"version 5", Mode64Bit, 5, VER_PLATFORM_WIN32_NT},
        {"not NT", Mode64Bit, 6, 1},
    };
    for (const auto& c : cases) {
        sim::M().osMajor = c.major;
        sim::M().osPlatform = c.platform;
        InstallContext run{};
        InitContext(run, c.mode);
        RegisterTray(run);
        EXPECT_EQ(RunValue(), "(none)") << c.what;
        EXPECT_TRUE(sim::M().processes.empty()) << c.what;
        FreeContext(run);
    }
    sim::M().osMajor = 6;
    sim::M().osPlatform = VER_PLATFORM_WIN32_NT;
    Start();
    Register();
    EXPECT_EQ(RunValue(), QuotedInstalledTray) << "version 6 is enough";
}

// The tray program lies in the parent of the installer's directory.
TEST_F(RegisterTrayTest, TrayPathIsInTheParentOfTheInstallersDirectory) {
    const struct {
        const char16_t* moduleDir;
        const char* path;
    } cases[] = {
        {u"C:\\Program Files\\Kestrovane\\setup\\", "C:\\Program Files\\Kestrovane\\kestray.exe"},
        {u"C:\\setup\\", "C:\\kestray.exe"},
        {u"C:\\setup", "C:\\kestray.exe"},
        {u"C:\\", ""}, // no parent: no path, rather than a name looked up anywhere
        {u"", ""},
        {u"D:/kits/setup/", "D:/kits\\kestray.exe"},
        {u"\\\\server\\share\\setup\\", "\\\\server\\share\\kestray.exe"},
    };
    for (const auto& c : cases) {
        WideString dir;
        EXPECT_TRUE(Assign(dir, c.moduleDir));
        WideString path = TrayPath(dir);
        EXPECT_EQ(Ascii(Text(path)), c.path) << Ascii(c.moduleDir);
        Release(path);
        Release(dir);
    }
}

TEST_F(RegisterTrayTest, WithoutAParentDirectoryNothingIsRegistered) {
    sim::PutFile(u"C:\\kestray.exe", "tray");
    for (const char16_t* module : {u"C:\\ksvinstall.exe", u""}) {
        sim::M().modulePath = module;
        if (started)
            FreeContext(context);
        Start();
        Register();
        EXPECT_EQ(RunValue(), "(none)");
        EXPECT_EQ(sim::M().processes.size(), 0u);
    }
}

// A path longer than the 259 units the command line takes is not started
// cut short (that would start what the cut path names); the Run value has it whole.
TEST_F(RegisterTrayTest, LongPathIsRegisteredButNotStartedCut) {
    Start();
    const sim::Text dir = u"C:\\" + sim::Text(250, u'a');
    EXPECT_TRUE(Assign(context.ModuleDir, (dir + u"\\s\\").c_str()));
    const sim::Text full = dir + u"\\kestray.exe";
    sim::MakeDirectory(dir);
    sim::PutFile(full, "tray");
    ASSERT_EQ(full.size(), 265u);
    sim::PutFile(full.substr(0, 259) + u".exe", "what the cut path names");
    Register();
    EXPECT_EQ(RunValue(), "\"" + Ascii(full) + "\"");
    EXPECT_EQ(sim::M().processes.size(), 0u);
}

TEST_F(RegisterTrayTest, EachFailureLeavesTheRestToRun) {
    sim::PutFile(InstalledTray, "tray");
    Start();
    sim::FailCall("RegOpenKeyExA", ERROR_ACCESS_DENIED, sim::CallCount("RegOpenKeyExA") + 1);
    Register();
    EXPECT_EQ(RunValue(), "(none)");
    EXPECT_EQ(sim::M().processes.size(), 1u) << "started all the same";

    sim::FailCall("RegSetValueExW", ERROR_ACCESS_DENIED, sim::CallCount("RegSetValueExW") + 1);
    Register();
    EXPECT_EQ(RunValue(), "(none)");
    EXPECT_EQ(sim::M().processes.size(), 2u);

    for (sim::Process& p : sim::M().processes)
        sim::EndProcess(p);
    ASSERT_TRUE(DeleteFileW(InstalledTray.c_str()));
    sim::FailCall("GetVersionExA", ERROR_INVALID_PARAMETER, sim::CallCount("GetVersionExA") + 1);
    Register();
    EXPECT_EQ(RunValue(), "(none)") << "no version, no tray";
    // A missing tray program is reported, neither registered nor started.
    RegisterTray(context);
    EXPECT_EQ(LogLines(context).back(),
              "Error(10): Cant't open source file: C:\\Program Files\\Kestrovane\\kestray.exe - "
              "(The system cannot find the file specified.)");
    EXPECT_EQ(context.ErrorCount, 1);
    EXPECT_EQ(RunValue(), "(none)");
    EXPECT_EQ(sim::M().processes.size(), 2u);
}

TEST_F(StopTrayTest, NoTrayRunningMeansNoWaitButTheFileStillGoes) {
    for (const std::string& value : {QuotedInstalledTray, Ascii(InstalledTray)}) {
        sim::PutFile(InstalledTray, "tray");
        PutRunValue(value);
        uint64_t slept = sim::M().sleptMs;
        Stop();
        EXPECT_EQ(sim::M().sleptMs - slept, 0u) << value;
        EXPECT_FALSE(sim::FileExists(InstalledTray)) << value;
        EXPECT_EQ(RunValue(), "(none)") << value;
        EXPECT_FALSE(sim::MutexExists(sim::Widen(TrayMutexName)));
    }
    EXPECT_EQ(sim::CallCount("FindWindowW"), 0);
}

TEST_F(StopTrayTest, TrayThatQuitsIsAwaitedOnTheMutex) {
    for (DWORD delay : {0u, 1200u, 7000u}) {
        sim::Reset();
        sim::Process& tray = RunTray(Tray(delay));
        DWORD id = tray.id;
        PutRunValue(QuotedInstalledTray);
        Stop();
        const sim::Process& after = *sim::FindProcess(id);
        EXPECT_FALSE(after.running) << delay;
        EXPECT_EQ(sim::M().sleptMs, delay) << "the wait ends as the tray lets go";
        EXPECT_EQ(QuitMessagesTo(after), delay > 5000 ? 2u : 1u) << delay;
        EXPECT_FALSE(sim::FileExists(InstalledTray)) << delay;
        EXPECT_EQ(RunValue(), "(none)");
        EXPECT_FALSE(sim::MutexExists(sim::Widen(TrayMutexName)));
    }
}

// Ending while still owning the mutex counts as ending: the wait reports it
// abandoned, the window is gone, and one more wait finds the mutex ours.
TEST_F(StopTrayTest, TrayThatDiesHoldingTheMutexCountsAsEnded) {
    sim::ProgramScript script = Tray(300);
    script.releasesMutex = false;
    sim::Process& tray = RunTray(script);
    DWORD id = tray.id;
    PutRunValue(QuotedInstalledTray);
    Stop();
    EXPECT_FALSE(sim::FindProcess(id)->running);
    EXPECT_EQ(sim::CallCount("WaitForSingleObject"), 2);
    EXPECT_EQ(sim::M().sleptMs, 300u);
    EXPECT_EQ(sim::CallCount("PostMessageW"), 1);
    EXPECT_FALSE(sim::FileExists(InstalledTray));
}

TEST_F(StopTrayTest, WindowThatNeverShowsCostsTwentyShortPolls) {
    sim::ProgramScript script = Tray();
    script.showsWindow = false;
    sim::Process& tray = RunTray(script);
    DWORD id = tray.id;
    PutRunValue(QuotedInstalledTray);
    Stop();
    EXPECT_EQ(sim::CallCount("FindWindowW"), 20);
    EXPECT_EQ(sim::CallCount("WaitForSingleObject"), 0);
    // Twenty polls of 250 ms, then ten refused deletions of the running
    // program, each followed by 100 ms.
    EXPECT_EQ(sim::M().sleptMs, 20u * 250 + 10u * 100);
    EXPECT_EQ(sim::CallCount("SetFileInformationByHandle"), 10);
    EXPECT_TRUE(sim::FindProcess(id)->running);
    EXPECT_TRUE(sim::FileExists(InstalledTray));
    EXPECT_EQ(RunValue(), "(none)");
}

TEST_F(StopTrayTest, TrayThatIgnoresTheQuitCostsTwentyLongWaits) {
    sim::ProgramScript script = Tray();
    script.obeysQuit = false;
    sim::Process& tray = RunTray(script);
    DWORD id = tray.id;
    PutRunValue(QuotedInstalledTray);
    Stop();
    EXPECT_EQ(QuitMessagesTo(*sim::FindProcess(id)), 20u);
    EXPECT_EQ(sim::CallCount("WaitForSingleObject"), 21) << "twenty passes and a last wait";
    EXPECT_EQ(sim::CallCount("SetFileInformationByHandle"), 10);
    EXPECT_EQ(sim::M().sleptMs, 21u * 5000 + 10u * 100);
    EXPECT_TRUE(sim::FileExists(InstalledTray));
    EXPECT_EQ(RunValue(), "(none)");
    EXPECT_TRUE(sim::FindProcess(id)->running);
}

// A missing Run value costs a pause; the tray program of ours goes all the
// same in an uninstall, and stays in a reinstall.
TEST_F(StopTrayTest, MissingRunValueCostsOneSecond) {
    sim::PutFile(InstalledTray, "tray");
    StopTray(InstalledTray.c_str(), TrayFile::Keep, nullptr);
    EXPECT_EQ(sim::M().sleptMs, 1000u);
    EXPECT_EQ(sim::CallCount("CreateFileW"), 0);
    EXPECT_TRUE(sim::FileExists(InstalledTray));
    Stop();
    EXPECT_EQ(sim::M().sleptMs, 2000u);
    EXPECT_FALSE(sim::FileExists(InstalledTray));
}

TEST_F(StopTrayTest, FailuresStopOnlyWhatDependsOnThem) {
    // Without the mutex, or the Run key, our tray program still goes; only
    // the value stays when its key cannot be opened.
    sim::PutFile(InstalledTray, "tray");
    PutRunValue(QuotedInstalledTray);
    sim::FailCall("CreateMutexA", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(Stop());
    EXPECT_FALSE(sim::FileExists(InstalledTray));
    EXPECT_EQ(RunValue(), "(none)");

    sim::PutFile(InstalledTray, "tray");
    PutRunValue(QuotedInstalledTray);
    sim::FailCall("RegOpenKeyExA", ERROR_ACCESS_DENIED, sim::CallCount("RegOpenKeyExA") + 1);
    EXPECT_FALSE(Stop());
    EXPECT_FALSE(sim::FileExists(InstalledTray));
    EXPECT_EQ(RunValue(), QuotedInstalledTray);

    // A file held open elsewhere: ten attempts, 10 ms apart, and the caller
    // learns that it is still there.
    sim::PutFile(InstalledTray, "tray");
    sim::FindFile(InstalledTray)->heldOpen = true;
    uint64_t slept = sim::M().sleptMs;
    EXPECT_TRUE(Stop());
    EXPECT_EQ(sim::M().sleptMs - slept, 10u * 10);
    EXPECT_TRUE(sim::FileExists(InstalledTray));
    EXPECT_EQ(RunValue(), "(none)");
}

// Another program that took the tray's mutex and window class is neither
// asked to end nor waited for; ours beside it is.
TEST_F(StopTrayTest, OnlyOurTrayProgramIsAskedAndAwaited) {
    const sim::Text impostor = u"C:\\Program Files\\Other\\kestray.exe";
    sim::MakeDirectory(u"C:\\Program Files\\Other");
    sim::ProgramScript script = Tray(0);
    script.obeysQuit = false;
    sim::Process& other = RunTray(script, impostor);
    DWORD otherId = other.id;
    uint64_t slept = sim::M().sleptMs;
    Stop();
    EXPECT_EQ(sim::M().sleptMs - slept, 1000u) << "no wait but the missing value's pause";
    EXPECT_EQ(QuitMessagesTo(*sim::FindProcess(otherId)), 0u);

    sim::Process& ours = RunTray(Tray(200));
    DWORD oursId = ours.id;
    PutRunValue(QuotedInstalledTray);
    EXPECT_FALSE(Stop());
    EXPECT_FALSE(sim::FindProcess(oursId)->running);
    EXPECT_EQ(QuitMessagesTo(*sim::FindProcess(oursId)), 1u);
    EXPECT_EQ(QuitMessagesTo(*sim::FindProcess(otherId)), 0u);
    EXPECT_TRUE(sim::FindProcess(otherId)->running);
}

// The file is deleted through a handle to itself: a link named kestray.exe
// goes, not what it points to; a folder on the way that leads elsewhere is
// not the product folder, and nothing is deleted there.
TEST_F(StopTrayTest, OnlyTheFileItselfAtTheKnownPlaceIsDeleted) {
    const sim::Text target = u"C:\\Other\\app.dll";
    sim::MakeDirectory(u"C:\\Other");
    sim::PutFile(target, "another program's");
    sim::PutFile(InstalledTray, "").linkTarget = target;
    Start();
    EXPECT_FALSE(StopTray(InstalledTray.c_str(), TrayFile::Delete, &context));
    EXPECT_FALSE(sim::FileExists(InstalledTray));
    EXPECT_EQ(sim::FileContent(target), "another program's");

    sim::M().files[sim::Upper(u"C:\\Program Files\\Kestrovane")].linkTarget = u"C:\\Other";
    sim::PutFile(u"C:\\Other\\kestray.exe", "another program's tray");
    EXPECT_FALSE(StopTray(InstalledTray.c_str(), TrayFile::Delete, &context));
    EXPECT_TRUE(sim::FileExists(u"C:\\Other\\kestray.exe"));
    EXPECT_EQ(LogLines(context).back(), "C:\\Program Files\\Kestrovane\\kestray.exe is not our "
                                        "tray program's file: not deleted");
    EXPECT_EQ(context.ErrorCount, 0);
}

// A value stored without its terminator still names exactly its file, and
// the quotes do not cost a path of MAX_PATH - 1 units its deletion.
TEST_F(StopTrayTest, RunValueIsReadWhole) {
    sim::PutFile(InstalledTray, "tray");
    std::vector<uint8_t> data;
    for (char16_t c : InstalledTray) {
        data.push_back(static_cast<uint8_t>(c & 0xFF));
        data.push_back(static_cast<uint8_t>(c >> 8));
    }
    sim::SetValue(RunKey, u"KestrovaneTray", REG_SZ, data);
    Stop();
    EXPECT_FALSE(sim::FileExists(InstalledTray));

    const sim::Text longest = u"C:\\" + sim::Text(244, u'd') + u"\\kestray.exe";
    ASSERT_EQ(longest.size(), 259u);
    sim::MakeDirectory(u"C:\\" + sim::Text(244, u'd'));
    sim::PutFile(longest, "tray");
    PutRunValue("\"" + Ascii(longest) + "\"");
    uint64_t slept = sim::M().sleptMs;
    StopTray(longest.c_str(), TrayFile::Delete, nullptr);
    EXPECT_FALSE(sim::FileExists(longest));
    EXPECT_EQ(sim::M().sleptMs, slept) << "the value was read";
}

// A reinstall from the installed location keeps the tray program that it is
// about to start again; without that it would start a file it just deleted.
TEST_F(StopTrayTest, ReinstallKeepsTheFileItStartsAgain) {
    sim::Process& tray = RunTray(Tray(100));
    DWORD id = tray.id;
    PutRunValue(QuotedInstalledTray);
    Start();
    WideString keep = TrayPath(context.ModuleDir);
    sim::Text upper = sim::Upper(Text(keep));
    StopTray(upper.c_str(), TrayFile::Keep, nullptr); // letter case does not matter
    Release(keep);
    EXPECT_FALSE(sim::FindProcess(id)->running);
    EXPECT_TRUE(sim::FileExists(InstalledTray));
    EXPECT_EQ(RunValue(), "(none)");
    Register();
    EXPECT_EQ(RunValue(), QuotedInstalledTray);
    ASSERT_EQ(sim::M().processes.size(), 2u);
    EXPECT_TRUE(sim::M().processes[1].running);

    // Another file named by the value is not ours, whatever its name: it
    // stays, and the run's log says so; the value goes all the same.
    sim::Text other = u"D:\\Old\\kestray.exe";
    sim::MakeDirectory(u"D:\\Old");
    sim::PutFile(other, "old tray");
    PutRunValue(Ascii(other));
    EXPECT_FALSE(StopTray(InstalledTray.c_str(), TrayFile::Delete, &context));
    EXPECT_TRUE(sim::FileExists(other));
    EXPECT_EQ(RunValue(), "(none)");
    EXPECT_EQ(LogLines(context).back(),
              "KestrovaneTray named D:\\Old\\kestray.exe, not our tray program: left in place");
}

// The same through the verbs: an install from the installed place stops the
// running tray program and starts it again from the file it kept; "in_notray"
// and the uninstall delete it.
TEST_F(StopTrayTest, VerbsStopDeleteAndStartTheTrayProgram) {
    PlacePackage(); // an install changes nothing without it
    sim::Process& tray = RunTray(Tray(100));
    DWORD first = tray.id;
    PutRunValue(QuotedInstalledTray);
    RunCommand("ksvinstall.exe install");
    EXPECT_FALSE(sim::FindProcess(first)->running);
    EXPECT_TRUE(sim::FileExists(InstalledTray));
    EXPECT_EQ(RunValue(), QuotedInstalledTray);
    ASSERT_EQ(sim::M().processes.size(), 2u);
    DWORD second = sim::M().processes[1].id;
    EXPECT_TRUE(sim::FindProcess(second)->running);

    // Without the tray: stopped and unregistered, but the product's only
    // copy stays, as after removetray.
    RunCommand("ksvinstall.exe in_notray");
    EXPECT_FALSE(sim::FindProcess(second)->running);
    EXPECT_TRUE(sim::FileExists(InstalledTray));
    EXPECT_EQ(RunValue(), "(none)");
    EXPECT_EQ(sim::M().processes.size(), 2u);

    // An installer started through its 8.3 path keeps the file the Run value
    // names in its long form.
    sim::M().modulePath = u"C:\\PROGRA~1\\KESTRO~1\\setup\\ksvinstall.exe";
    PutRunValue(QuotedInstalledTray);
    EXPECT_EQ(RunCommand("ksvinstall.exe removetray"), 6);
    EXPECT_TRUE(sim::FileExists(InstalledTray));
    EXPECT_EQ(RunValue(), "(none)");

    PutRunValue(Ascii(InstalledTray)); // as earlier builds wrote it
    RunCommand("ksvinstall.exe uninstall");
    EXPECT_FALSE(sim::FileExists(InstalledTray));
    EXPECT_EQ(RunValue(), "(none)");
}
