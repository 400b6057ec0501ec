// The verbs a setup program asks with: "onChkDrv", "onInit" and "def.set",
// whole, on the simulated machine. Their only answer is the exit code.
#include "tests/support/scenario.h"

using namespace scenario;

namespace {

using ProbeScenario = MachineTest;

// A probe touches no help window, shows no log and leaves no trace but its
// answer (checked by RunVerb: heaps, handles, the spooler running).
VerbRun Probe(const std::string& verb) {
    int windows = sim::CallCount("FindWindowW");
    VerbRun run = RunVerb(verb);
    EXPECT_FALSE(run.dialogShown) << verb;
    EXPECT_EQ(sim::CallCount("FindWindowW"), windows) << verb;
    return run;
}

struct QueuedFile {
    sim::Text path;
    bool locked = false;      // loaded by the spooler
    bool staysLocked = false; // ... also across its restarts
};

} // namespace

TEST_F(ProbeScenario, DriverBuildAboveTwentyFourFifty) {
    const struct {
        const char* what;
        int build; // of the installed driver DLL; -1: without a version resource
        bool printer;
        int exitCode;
    } cases[] = {
        {"build 2450", 2450, true, 3},          {"build 2451", 2451, true, 103},
        {"build 2501", 2501, true, 103},        {"no version resource", -1, true, 3},
        {"no printer of ours", 2501, false, 3},
    };
    for (const auto& c : cases) {
        sim::Reset();
        InstalledMachine(c.build < 0 ? 2501 : c.build);
        if (c.build < 0)
            sim::PutFile(Store + u"ksvdrv64.dll", "driver");
        if (!c.printer)
            sim::M().printers.clear();
        OtherPrinter(u"Laser", u"LPT1:");
        VerbRun run = Probe("onChkDrv");
        EXPECT_EQ(run.exitCode, c.exitCode) << c.what;
        EXPECT_EQ(run.spoolerStops, 0) << c.what;
        EXPECT_EQ(run.virtualMs, 0u) << c.what;
    }
    // A clean machine has no printer of ours either.
    sim::Reset();
    EXPECT_EQ(Probe("onChkDrv").exitCode, 3);
}

TEST_F(ProbeScenario, PendingComponentsNeedARestartFirst) {
    const sim::Text nt = u"\\??\\";
    const sim::Text sys = u"C:\\Windows\\system32\\";
    const struct {
        const char* what;
        std::vector<sim::Text> pending; // none: the value is missing
        std::vector<QueuedFile> files;
        int exitCode;
        int stops;
    } cases[] = {
        {"no value", {}, {}, 3, 0},
        {"only the closing terminator", {u""}, {}, 3, 0},
        {"locked through both restarts",
         {nt + MonitorDll, u""},
         {{MonitorDll, true, true}},
         200,
         2},
        {"released by the first restart",
         {nt + Staging + u"ksvdrv64.dll", u""},
         {{Staging + u"ksvdrv64.dll", true}},
         3,
         1},
        {"the spooler's copy of a loaded driver file",
         {nt + Store + u"Old\\1\\ksvui64.dll", u""},
         {{Store + u"Old\\1\\ksvui64.dll", true}},
         3,
         1},
        {"deletable at once",
         {nt + Staging + u"ksvui64.dll", u""},
         {{Staging + u"ksvui64.dll"}},
         3,
         0},
        {"a rename in capitals",
         {nt + u"C:\\WINDOWS\\SYSTEM32\\KSVMON64.DLL", nt + sys + u"x.old"},
         {{MonitorDll}},
         200,
         2},
        {"a rename whose source is gone", {nt + MonitorDll, nt + sys + u"x.old"}, {}, 3, 0},
        {"the 32-bit monitor",
         {nt + sys + u"ksvmon32.dll", nt + sys + u"x.old"},
         {{sys + u"ksvmon32.dll"}},
         3,
         0},
        {"another file",
         {nt + sys + u"ksvmon64.dll.bak", nt + sys + u"x.old"},
         {{sys + u"ksvmon64.dll.bak"}},
         3,
         0},
        {"ours only as the target",
         {nt + u"C:\\dir\\new.dll", nt + MonitorDll},
         {{u"C:\\dir\\new.dll"}},
         3,
         0},
        {"drive, colon, name",
         {u"C:ksvdrv64.dll", nt + sys + u"x.old"},
         {{u"C:ksvdrv64.dll"}},
         200,
         2},
        {"prefix, drive, directory, name",
         {nt + u"C:\\dir\\ksvdrv64.dll", nt + sys + u"x.old"},
         {{u"C:\\dir\\ksvdrv64.dll"}},
         200,
         2},
        {"a forward slash",
         {u"C:\\dir/ksvui64.dll", nt + sys + u"x.old"},
         {{u"C:\\dir\\ksvui64.dll"}},
         200,
         2},
    };
    for (const auto& c : cases) {
        sim::Reset();
        sim::MakeDirectory(u"C:\\dir");
        sim::MakeDirectory(Store + u"Old");
        sim::MakeDirectory(Store + u"Old\\1");
        sim::AddPrinter(u"Kestrovane", u"Kestrovane printer", u"LPT1:");
        sim::M().defaultPrinter = u"Kestrovane";
        if (!c.pending.empty())
            SetPendingOperations(c.pending);
        for (const QueuedFile& f : c.files) {
            sim::File& file = sim::PutFile(f.path, "component", 2501);
            file.loadedBySpooler = f.locked;
            file.lockedThroughRestart = f.staysLocked;
        }
        std::vector<std::string> before = PendingOperations();
        VerbRun run = Probe("onInit");
        EXPECT_EQ(run.exitCode, c.exitCode) << c.what;
        EXPECT_EQ(run.spoolerStops, c.stops) << c.what;
        EXPECT_EQ(run.virtualMs, 0u) << c.what;
        if (c.stops == 0) {
            EXPECT_EQ(sim::CallCount("OpenSCManagerW"), 0) << c.what << ": the spooler untouched";
        }
        EXPECT_EQ(PendingOperations(), before) << c.what << ": the value is only read";
    }
}

TEST_F(ProbeScenario, DefaultPrinterThatIsNotOursAnswers102) {
    const struct {
        const char* what;
        sim::Text defaultPrinter;
        int exitCode;
    } cases[] = {
        {"ours", u"Kestrovane", 3},
        {"none", u"", 102},
        {"another driver's", u"Laser", 102},
        {"one that no longer exists", u"Gone", 102},
    };
    for (const auto& c : cases) {
        sim::Reset();
        InstalledMachine();
        OtherPrinter(u"Laser", u"LPT1:");
        sim::M().defaultPrinter = c.defaultPrinter;
        VerbRun run = Probe("onInit");
        EXPECT_EQ(run.exitCode, c.exitCode) << c.what;
        EXPECT_EQ(run.spoolerStops, 0) << c.what;
        EXPECT_EQ(run.virtualMs, 0u) << c.what;
    }
}

TEST_F(ProbeScenario, DefSetMakesTheFirstPrinterOfOursTheDefault) {
    OtherPrinter(u"Laser", u"LPT1:");
    sim::M().defaultPrinter = u"Laser";
    EXPECT_EQ(Probe("def.set").exitCode, 4);
    EXPECT_EQ(Ascii(sim::M().defaultPrinter), "Laser") << "none of ours: unchanged";

    OurPrinter(u"Beta");
    OurPrinter(u"Alpha");
    VerbRun run = Probe("def.set");
    EXPECT_EQ(run.exitCode, 4);
    EXPECT_EQ(Ascii(sim::M().defaultPrinter), "Beta") << "the first in enumeration order";
    EXPECT_EQ(run.virtualMs, 0u);
    EXPECT_EQ(run.spoolerStops, 0);
}
