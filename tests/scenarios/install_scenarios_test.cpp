// Whole install runs on the simulated machine: the exit code, the log the run
// showed, the machine afterwards, and what the run cost.
#include "install/single_installer.h"
#include "tests/support/scenario.h"

#include <set>

using namespace scenario;

namespace {

using InstallScenario = MachineTest;

// The removal half on a machine without anything of ours, at depth 2.
const std::vector<std::string> UnInstallOnCleanMachine = {
    "    >UnInstall",
    "      EnumMonitors",
    "      1 Monitors found.",
    "      EnumPrinterDrivers for Windows x64",
    "      0 drivers found",
    "      >DeleteAllPrinters",
    "      >DeletePrinterDriver for Windows x64",
    "        BTW, there is no printer drivers on this system.",
    "        No Kestrovane driver was found",
    "      >DeleteMonitor",
    "        ------- 1 existing monitors ----------",
    "        1. Local Port",
    "        ---------------------------------------",
    "        No Kestrovane port monitor was found.",
    "        Computing monitor filename",
    "        Auto calculated monitor file name: C:\\Windows\\system32\\ksvmon64.dll",
    "        Version is unknown, proceed with reinstall",
    "        Can't delete monitor and monitor was not found. So everything should be ok",
};

const std::vector<std::string> AddMonitorBlock = {
    "    >AddMonitor",
    "      Copy monitor file",
    "      >CopyFile ksvmon64.dll to C:\\Windows\\system32\\ [0])",
    "        Copy Succeeded :)",
    "      AddMonitor - OK :)",
};

const std::vector<std::string> AddDriverBlock = {
    "    >Add Printer Driver",
    "      >CopyFile ksvdrv64.dll to C:\\Windows\\system32\\spool\\drivers\\x64\\ [1])",
    "        Copy Succeeded :)",
    "      >CopyFile ksvui64.dll to C:\\Windows\\system32\\spool\\drivers\\x64\\ [1])",
    "        Copy Succeeded :)",
    "      >CopyFile ksvhelp.chm to C:\\Windows\\system32\\spool\\drivers\\x64\\ [1])",
    "        Copy Succeeded :)",
    "      OK :)",
};

std::vector<std::string> AddPrinterBlock(const std::string& name) {
    return {"    >AddPrinter(" + name + ")", "      Let's check our port monitors",
            "      Port monitor is found", "      OK :)"};
}

std::vector<std::string> InstallHead() {
    return Join(ContextLines(), {">>0010", ">ReInstall"});
}

// The product as the install leaves it: monitor, driver, one printer of ours
// on our port, the tray program registered and running, nothing queued.
void ExpectInstalled(int monitorBuild = 2501) {
    sim::Monitor* monitor = sim::FindMonitor(u"Kestrovane:");
    ASSERT_NE(monitor, nullptr);
    EXPECT_EQ(Ascii(monitor->dll), "ksvmon64.dll");
    sim::File* dll = sim::FindFile(MonitorDll);
    ASSERT_NE(dll, nullptr);
    EXPECT_EQ(sim::ProductBuild(*dll), monitorBuild);
    EXPECT_EQ(dll->loadedBySpooler, sim::M().spoolerHoldsMonitors);
    sim::Driver* driver = sim::FindDriver(u"Kestrovane printer");
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(Ascii(driver->driverPath), Ascii(Store + u"ksvdrv64.dll"));
    EXPECT_EQ(Ascii(driver->helpFile), Ascii(Store + u"ksvhelp.chm"));
    for (const char16_t* name : {u"ksvdrv64.dll", u"ksvui64.dll", u"ksvhelp.chm"}) {
        EXPECT_FALSE(sim::FileExists(Staging + name)) << "staged copies go";
        EXPECT_TRUE(sim::FileExists(Store + name));
    }
    EXPECT_EQ(RunValue(), "\"C:\\Program Files\\Kestrovane\\kestray.exe\"");
    EXPECT_TRUE(TrayRunning());
    EXPECT_TRUE(PendingOperations().empty());
}

} // namespace

TEST_F(InstallScenario, CleanMachineGetsOnePrinter) {
    PlacePackage();
    ScriptTray();
    VerbRun run = RunVerb("install");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.log,
              Join(Join(Join(Join(InstallHead(), UnInstallOnCleanMachine), AddMonitorBlock),
                        AddDriverBlock),
                   AddPrinterBlock("Kestrovane")));
    ExpectInstalled();
    ASSERT_EQ(sim::M().printers.size(), 1u);
    const sim::Printer& p = sim::M().printers[0];
    EXPECT_EQ(Ascii(p.name), "Kestrovane");
    EXPECT_EQ(Ascii(p.port), "Kestrovane:");
    EXPECT_EQ(Ascii(p.driver), "Kestrovane printer");
    EXPECT_EQ(Ascii(p.printProcessor), "WinPrint");
    EXPECT_EQ(Ascii(p.comment), "");
    EXPECT_TRUE(sim::M().defaultPrinter.empty()) << "the new printer is not made the default";
    // StopTray found no Run value: its one pause is the whole wait.
    EXPECT_EQ(run.virtualMs, 1000u);
    EXPECT_EQ(run.spoolerStops, 0);
}

TEST_F(InstallScenario, SameBuildKeepsTheRunningMonitor) {
    InstalledMachine();
    int added = sim::CallCount("AddMonitorW");
    VerbRun run = RunVerb("install");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.log,
              Join(Join(Join(InstallHead(),
                             {
                                 "    >UnInstall",
                                 "      EnumMonitors",
                                 "      2 Monitors found.",
                                 "      EnumPrinterDrivers for Windows x64",
                                 "      1 drivers found",
                                 "      >DeleteAllPrinters",
                                 "        >DeletePrinter(Kestrovane)",
                                 "          OK",
                                 "      >DeletePrinterDriver for Windows x64",
                                 "        ------------ 1 existing drivers-----------",
                                 "        1. Kestrovane printer",
                                 "        -------------------------------------------",
                                 "        Driver is found. Index=1",
                                 "        OK :)",
                                 "      >DeleteMonitor",
                                 "        ------- 2 existing monitors ----------",
                                 "        1. Local Port",
                                 "        2. Kestrovane:",
                                 "        ---------------------------------------",
                                 "        Port monitor is found. Index=2",
                                 "        Trying to get monitor filename from MONITOR_INFO_2",
                                 "        Auto calculated monitor file name: "
                                 "C:\\Windows\\system32\\ksvmon64.dll",
                                 "        Version (2501) is compatible, proceed without uninstall",
                                 "        InstallMonitor == 0, CopyMonitor == 1",
                             }),
                        AddDriverBlock),
                   AddPrinterBlock("Kestrovane")));
    EXPECT_EQ(sim::CallCount("AddMonitorW"), added) << "the monitor stays as it was";
    ExpectInstalled();
    EXPECT_EQ(PrinterNames(), (std::vector<std::string>{"Kestrovane"}));
    // The tray program quits at once and is started again from where it was.
    EXPECT_EQ(sim::M().processes.size(), 2u);
    EXPECT_EQ(run.virtualMs, 0u);
    EXPECT_EQ(run.spoolerStops, 0);
}

TEST_F(InstallScenario, OtherBuildsAreReplacedCompatibleOnesKept) {
    const struct {
        int build;
        bool replaced;
    } cases[] = {{2450, true}, {2451, false}, {2502, true}};
    for (const auto& c : cases) {
        sim::Reset();
        InstalledMachine(c.build);
        PlacePackage(2501);
        VerbRun run = RunVerb("install");
        std::string build = std::to_string(c.build);
        EXPECT_EQ(run.exitCode, 1) << build;
        if (c.replaced) {
            EXPECT_TRUE(HasBlock(
                run.log,
                Join({"        Version (" + build + ") is not supported, proceed with reinstall",
                      "        Monitor was removed :)",
                      // The spooler holds the old DLL until it stops.
                      "      DeleteFile-try", "    >Restart Spooler", "    DeleteFile-try"},
                     AddMonitorBlock)))
                << ::testing::PrintToString(run.log);
            EXPECT_EQ(run.spoolerStops, 1) << build;
        } else {
            EXPECT_TRUE(HasBlock(
                run.log,
                {"        Version (" + build + ") is compatible, proceed without uninstall",
                 "        InstallMonitor == 0, CopyMonitor == 1", AddDriverBlock[0]}))
                << ::testing::PrintToString(run.log);
            EXPECT_EQ(run.spoolerStops, 0) << build;
        }
        ExpectInstalled(c.replaced ? 2501 : c.build);
        EXPECT_EQ(sim::ProductBuild(*sim::FindFile(Store + u"ksvdrv64.dll")), 2501) << build;
        EXPECT_EQ(run.virtualMs, 0u) << build;
    }
}

TEST_F(InstallScenario, PrintersOfOursComeBackWithTheirSettings) {
    InstalledMachine();
    const sim::Text settings = u"HKCU\\Software\\Vorland Software KFT\\Kestrovane\\Kestrovanes\\";
    sim::Printer& office = OurPrinter(u"Office", "office-7");
    office.comment = u"Second floor";
    office.location = u"Room 12";
    sim::SetPrinterString(OurPrinter(u"Lab"), u"", u"SubKey", "lab-3"); // the plain place only
    OurPrinter(u"Old");                                                 // no SubKey anywhere
    OtherPrinter(u"Laser", u"LPT1:").comment = u"untouched";
    sim::M().defaultPrinter = u"Office";
    for (const char16_t* key : {u"office-7", u"lab-3"})
        sim::SetStringValue(settings + key, u"deleted", u"1");

    VerbRun run = RunVerb("install");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(HasBlock(run.log, {"      >DeleteAllPrinters", "        >DeletePrinter(Kestrovane)",
                                   "          OK", "        >DeletePrinter(Office)", "          OK",
                                   "        >DeletePrinter(Lab)", "          OK",
                                   "        >DeletePrinter(Old)", "          OK"}));
    // Re-created in the reverse order of their deletion, those without a
    // SubKey too (the first install's own "Kestrovane" among them): no queue
    // of the user's is lost.
    EXPECT_TRUE(
        HasBlock(run.log, Join(Join(AddPrinterBlock("Old"), AddPrinterBlock("Lab")),
                               Join(AddPrinterBlock("Office"), AddPrinterBlock("Kestrovane")))));
    EXPECT_EQ(run.log.back(), "      OK :)");
    EXPECT_EQ(PrinterNames(),
              (std::vector<std::string>{"Laser", "Old", "Lab", "Office", "Kestrovane"}));
    EXPECT_EQ(sim::PrinterString(*sim::FindPrinter(u"Old"), u"DsUser", u"SubKey"), "");

    sim::Printer* restored = sim::FindPrinter(u"Office");
    ASSERT_NE(restored, nullptr);
    EXPECT_EQ(Ascii(restored->comment), "Second floor");
    EXPECT_EQ(Ascii(restored->location), "Room 12");
    EXPECT_EQ(Ascii(restored->port), "Kestrovane:");
    EXPECT_EQ(sim::PrinterString(*restored, u"", u"SubKey"), "office-7");
    EXPECT_EQ(sim::PrinterString(*restored, u"DsUser", u"SubKey"), "office-7");
    EXPECT_EQ(sim::PrinterString(*sim::FindPrinter(u"Lab"), u"DsUser", u"SubKey"), "lab-3");
    EXPECT_EQ(Ascii(sim::M().defaultPrinter), "Office");
    for (const char16_t* key : {u"office-7", u"lab-3"})
        EXPECT_EQ(sim::FindValue(settings + key, u"deleted"), nullptr) << Ascii(key);
    EXPECT_EQ(Ascii(sim::FindPrinter(u"Laser")->comment), "untouched");
    EXPECT_EQ(run.virtualMs, 0u);
    EXPECT_EQ(run.spoolerStops, 0);
}

TEST_F(InstallScenario, PrinterOfAnotherDriverOnOurPortWaitsOnFileAndReturns) {
    InstalledMachine(2450);
    PlacePackage(2501);
    OtherPrinter(u"Fax", u"Kestrovane:,LPT1:");
    std::string portDuringReplacement;
    sim::M().onCall = [&portDuringReplacement](const std::string& call, int) {
        if (call == "AddMonitorW")
            portDuringReplacement = Ascii(sim::FindPrinter(u"Fax")->port);
    };
    VerbRun run = RunVerb("install");
    sim::M().onCall = nullptr;
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(portDuringReplacement, "file:,LPT1:");
    // Our deleted printer's entry still names the port: it is switched in
    // memory too and cannot be opened.
    EXPECT_TRUE(
        HasBlock(run.log, {"        Version (2450) is not supported, proceed with reinstall",
                           "        Can't delete monitor from the first try",
                           "        Can't open printer Kestrovane", "        SetPrinter(Fax) - ok",
                           "        Monitor was removed :)"}))
        << ::testing::PrintToString(run.log);
    EXPECT_TRUE(
        HasBlock(run.log, {"      AddMonitor - OK :)", "      Can't open printer Kestrovane",
                           "      SetPrinter(Fax) - ok", AddDriverBlock[0]}));
    EXPECT_EQ(Ascii(sim::FindPrinter(u"Fax")->port), "Kestrovane:,LPT1:");
    ExpectInstalled();
    EXPECT_EQ(run.spoolerStops, 1);
    EXPECT_EQ(run.virtualMs, 0u);

    // An uninstall leaves it on "file:": the port is gone.
    VerbRun removal = RunVerb("uninstall");
    EXPECT_EQ(removal.exitCode, 2);
    EXPECT_EQ(Ascii(sim::FindPrinter(u"Fax")->port), "file:,LPT1:");
    EXPECT_EQ(sim::FindMonitor(u"Kestrovane:"), nullptr);
}

// Another program holds the old DLL open past the removal's restart and lets
// go a moment later: the removal drops it, the copy waits for it.
TEST_F(InstallScenario, MonitorDllHeldThroughTheRemovalIsDroppedNotScheduled) {
    InstalledMachine(2450);
    PlacePackage(2501);
    sim::File& dll = *sim::FindFile(MonitorDll);
    dll.heldOpen = true;
    dll.heldUntil = sim::M().tick + 200;
    VerbRun run = RunVerb("install");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(HasBlock(run.log, Join({"        Monitor was removed :)", "      DeleteFile-try",
                                        "    >Restart Spooler", "    DeleteFile-try"},
                                       AddMonitorBlock)))
        << ::testing::PrintToString(run.log);
    EXPECT_TRUE(PendingOperations().empty()) << "dropped, not scheduled";
    ExpectInstalled();
    EXPECT_EQ(run.spoolerStops, 1);
    EXPECT_EQ(run.virtualMs, 200u) << "the copy's retries until the other program lets go";

    // Locked for good: the new DLL cannot be copied over it (an error), but
    // the old one is still not left for the restart.
    sim::Reset();
    InstalledMachine(2450);
    PlacePackage(2501);
    sim::FindFile(MonitorDll)->lockedThroughRestart = true;
    VerbRun locked = RunVerb("install");
    EXPECT_EQ(locked.exitCode, 100);
    EXPECT_TRUE(
        HasBlock(locked.log, {"      >Restart Spooler",
                              "      >CopyFile ksvmon64.dll to C:\\Windows\\system32\\ [1])",
                              "        Error(9): Cant't open destination file: "
                              "C:\\Windows\\system32\\ksvmon64.dll - (The process cannot "
                              "access the file because it is being used by another process.)",
                              "        Copy Failed :("}))
        << ::testing::PrintToString(locked.log);
    EXPECT_TRUE(PendingOperations().empty());
    EXPECT_EQ(locked.spoolerStops, 2) << "the removal's retry and the second copy";
    EXPECT_EQ(locked.virtualMs, 10000u) << "two copies of 100 attempts 50 ms apart";
}

// A staged driver file that another program keeps loaded resists the
// retries, also with the spooler stopped, and goes at the next restart.
TEST_F(InstallScenario, StagedCopyThatResistsIsScheduledForTheRestart) {
    PlacePackage();
    ScriptTray();
    const sim::Text staged = Staging + u"ksvui64.dll";
    sim::M().onCall = [staged](const std::string& call, int) {
        if (call == "AddPrinterDriverExW")
            sim::FindFile(staged)->loadedByProcess = true;
    };
    VerbRun run = RunVerb("install");
    sim::M().onCall = nullptr;
    EXPECT_EQ(run.exitCode, 101);
    EXPECT_TRUE(run.dialogShown) << "Shift shows the log, the exit code stays";
    EXPECT_EQ(std::vector<std::string>(run.log.end() - 7, run.log.end()),
              Join(AddPrinterBlock("Kestrovane"),
                   {"    DeleteFile-try", "    >Restart Spooler", "    DeleteFile-try"}));
    EXPECT_EQ(PendingOperations(), (std::vector<std::string>{"\\??\\" + Ascii(staged), ""}));
    EXPECT_EQ(run.spoolerStops, 1);
    EXPECT_EQ(run.virtualMs, 1000u);

    sim::Reboot();
    EXPECT_FALSE(sim::FileExists(staged));
    EXPECT_TRUE(sim::FileExists(Store + u"ksvui64.dll"));
    EXPECT_TRUE(sim::FileExists(MonitorDll));
    EXPECT_TRUE(PendingOperations().empty());
}

TEST_F(InstallScenario, AnyErrorMakesOneHundredWhateverWasScheduled) {
    PlacePackage();
    sim::M().files.erase(sim::Upper(SetupDir + u"ksvhelp.chm"));
    const sim::Text staged = Staging + u"ksvdrv64.dll";
    sim::M().onCall = [staged](const std::string& call, int) {
        if (call == "AddPrinterDriverExW")
            sim::FindFile(staged)->loadedByProcess = true;
    };
    VerbRun run = RunVerb("install", false);
    sim::M().onCall = nullptr;
    EXPECT_EQ(run.exitCode, 100);
    ASSERT_TRUE(run.dialogShown) << "errors show the log without Shift";
    EXPECT_EQ(Ascii(sim::M().dialogs.back().title), "Kestrovane build 2501- Install error log!");
    EXPECT_TRUE(HasBlock(run.log, {"      >CopyFile ksvhelp.chm to "
                                   "C:\\Windows\\system32\\spool\\drivers\\x64\\ [1])",
                                   "        Error(10): Cant't open source file: ksvhelp.chm - (The "
                                   "system cannot find the file specified.)",
                                   "        Copy Failed :(", "      OK :)"}));
    EXPECT_EQ(PendingOperations(), (std::vector<std::string>{"\\??\\" + Ascii(staged), ""}));
    EXPECT_EQ(Ascii(sim::FindDriver(u"Kestrovane printer")->helpFile), "");
}

TEST_F(InstallScenario, WithoutTrayTheStoppedTrayStaysStopped) {
    InstalledMachine();
    size_t processes = sim::M().processes.size();
    VerbRun run = RunVerb("in_notray");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.log.back(), "      OK :)") << "RegisterTray writes nothing";
    EXPECT_EQ(RunValue(), "(none)");
    EXPECT_FALSE(TrayRunning());
    EXPECT_EQ(sim::M().processes.size(), processes) << "nothing started";
    EXPECT_EQ(sim::Logon(), std::vector<sim::Text>{}) << "nor at the next logon";
    EXPECT_NE(sim::FindDriver(u"Kestrovane printer"), nullptr);
    EXPECT_EQ(run.virtualMs, 0u);
    EXPECT_EQ(run.spoolerStops, 0);
}

// An uninstall whose monitor DLL stayed locked queued it for deletion at
// restart; an install before that restart puts the monitor back at the same
// path, and the restart must not take it away again.
TEST_F(InstallScenario, ReinstallSurvivesTheNextRestart) {
    InstalledMachine();
    sim::FindFile(MonitorDll)->lockedThroughRestart = true;
    EXPECT_EQ(RunVerb("uninstall").exitCode, 101);
    EXPECT_EQ(PendingOperations(), (std::vector<std::string>{"\\??\\" + Ascii(MonitorDll), ""}));
    // Another program queues an operation before ours, and the setup program
    // puts the package back (the uninstall deleted its tray program).
    sim::PutFile(u"C:\\Windows\\other.tmp", "other");
    SetPendingOperations({u"\\??\\C:\\Windows\\other.tmp", u"", u"\\??\\" + MonitorDll, u""});
    PlacePackage();

    // The early deletion of pending files leaves the other program's alone.
    VerbRun run = RunVerb("install");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(sim::FileExists(u"C:\\Windows\\other.tmp"));
    // The DLL still there is of our build: the monitor is registered with it.
    EXPECT_TRUE(HasBlock(
        run.log, {"    >AddMonitor", "      Skip copy monitor file", "      AddMonitor - OK :)"}));
    EXPECT_EQ(
        std::vector<std::string>(run.log.end() - 2, run.log.end()),
        (std::vector<std::string>{
            "      OK :)", "    Pending deletion cancelled: C:\\Windows\\system32\\ksvmon64.dll"}));
    EXPECT_EQ(PendingOperations(), (std::vector<std::string>{"\\??\\C:\\Windows\\other.tmp", ""}));
    EXPECT_NE(sim::FindMonitor(u"Kestrovane:"), nullptr);
    EXPECT_TRUE(TrayRunning());
    EXPECT_EQ(run.virtualMs, 1000u) << "the uninstall took the Run value";
    EXPECT_EQ(run.spoolerStops, 0);

    sim::Reboot();
    EXPECT_TRUE(sim::FileExists(MonitorDll));
    EXPECT_FALSE(sim::FileExists(u"C:\\Windows\\other.tmp"));
    EXPECT_NE(sim::FindMonitor(u"Kestrovane:"), nullptr);
    EXPECT_TRUE(sim::FindFile(MonitorDll)->loadedBySpooler);
}

// An earlier uninstall queued the monitor DLL for deletion and the spooler
// does not hold it. The install uses that DLL, as the monitor it keeps or as
// one of a compatible build it registers anew: it is neither deleted nor
// copied, and its deletion is taken back.
TEST_F(InstallScenario, QueuedMonitorDllIsKeptWhereTheInstallUsesIt) {
    for (bool registered : {true, false}) {
        sim::Reset();
        sim::M().spoolerHoldsMonitors = false;
        InstalledMachine();
        if (!registered)
            sim::M().monitors.clear();
        ASSERT_TRUE(MoveFileExW(MonitorDll.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));

        VerbRun run = RunVerb("install");
        EXPECT_EQ(run.exitCode, 1) << registered;
        EXPECT_TRUE(
            HasBlock(run.log, {registered ? "        InstallMonitor == 0, CopyMonitor == 1"
                                          : "        InstallMonitor == 1, CopyMonitor == 0"}))
            << ::testing::PrintToString(run.log);
        EXPECT_EQ(HasBlock(run.log, {"    >AddMonitor", "      Skip copy monitor file"}),
                  !registered);
        EXPECT_EQ(run.log.back(),
                  "    Pending deletion cancelled: C:\\Windows\\system32\\ksvmon64.dll");
        ExpectInstalled();

        sim::Reboot();
        EXPECT_TRUE(sim::FileExists(MonitorDll)) << registered;
    }
}

// Another installer (here a crashed or slow one) holds the installers' mutex:
// the verbs that change the machine wait until it ends, whether it let go or
// left the mutex abandoned; the driver probe only reads and does not wait.
// (The other one is a program here, so its mutex is the one in the global
// namespace, as on a system without private namespaces.)
TEST_F(InstallScenario, OneInstallerAtATime) {
    const struct {
        const char* verb;
        bool releases;
        int exitCode;
        uint64_t waitedMs;
    } cases[] = {{"install", true, 1, 700},
                 {"install", false, 1, 700},
                 {"def.set", false, 4, 700},
                 {"onChkDrv", true, 3, 0}};
    for (const auto& c : cases) {
        sim::Reset();
        PlacePackage();
        ScriptTray();
        sim::M().privateNamespaces = false;
        sim::ProgramScript other;
        other.mutexName = u"Global\\Kestrovane.ksvinstall";
        other.releasesMutex = c.releases;
        const sim::Text image = u"C:\\Temp\\ksvinstall.exe";
        sim::M().programs[sim::Upper(image)] = other;
        sim::PutFile(image);
        sim::Process& p = sim::StartProcess(image, image + u" install");
        p.ending = true;
        p.endsAt = sim::M().tick + 700;
        DWORD id = p.id;
        VerbRun run = RunVerb(c.verb, false);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.verb;
        EXPECT_GE(run.virtualMs, c.waitedMs) << c.verb;
        EXPECT_EQ(sim::FindProcess(id)->running, c.waitedMs == 0) << c.verb;
    }
}

namespace {

const sim::Text RecordKey = u"HKLM\\SOFTWARE\\Vorland Software KFT\\Kestrovane\\Installer";
const std::string RecordPath = "HKLM\\SOFTWARE\\Vorland Software KFT\\Kestrovane\\Installer";

sim::Printer& Invoices() {
    sim::Printer& p = OurPrinter(u"Invoices", "inv01");
    p.comment = u"Accounts";
    p.location = u"Room 1.02";
    p.share = u"invoices";
    p.attributes |= PRINTER_ATTRIBUTE_SHARED;
    return p;
}

// What the user sees of the queues of ours, the driver and the tray.
std::string Product() {
    std::set<std::string> queues;
    for (const sim::Printer& p : sim::M().printers)
        queues.insert(Ascii(p.name) + "/" + Ascii(p.comment) + "/" + Ascii(p.share) + "/" +
                      std::to_string(p.attributes) + ";");
    std::string d;
    for (const std::string& q : queues)
        d += q;
    return d + (sim::FindDriver(u"Kestrovane printer") ? "driver;" : "") +
           (sim::FindMonitor(u"Kestrovane:") ? "monitor;" : "") + RunValue() +
           (TrayRunning() ? ";tray" : "");
}

} // namespace

// A package that lost a DLL (an antivirus quarantine, a half-copied update)
// changes nothing at all: no queue, driver, monitor or tray is touched.
TEST_F(InstallScenario, BrokenPackageChangesNothing) {
    InstalledMachine();
    Invoices();
    std::string before = Product();
    sim::M().files.erase(sim::Upper(SetupDir + u"ksvdrv64.dll"));
    VerbRun run = RunVerb("install");
    EXPECT_EQ(run.exitCode, 100);
    EXPECT_EQ(run.log,
              Join(InstallHead(), {"    Error(10): Cant't open source file: ksvdrv64.dll - "
                                   "(The system cannot find the file specified.)"}));
    EXPECT_EQ(Product(), before);
    EXPECT_EQ(sim::FindKey(RecordKey), nullptr);
}

// A reinstall that could not give the queues back leaves them in its record;
// the next install restores them and says so. A record that cannot be read
// stops an install before it changes anything; an uninstall discards it.
TEST_F(InstallScenario, TheNextInstallFinishesWhatAReinstallLeft) {
    InstalledMachine();
    Invoices();
    std::string before = Product();
    sim::FailCall("AddPrinterW", ERROR_ACCESS_DENIED, sim::CallCount("AddPrinterW") + 1, -1);
    EXPECT_EQ(RunVerb("install").exitCode, 100);
    EXPECT_NE(sim::FindValue(RecordKey, u"SavedPrinters"), nullptr);
    sim::M().faults.clear();
    sim::M().shareError = 2114; // NERR_ServerNotStarted: the Server service is stopped
    VerbRun second = RunVerb("install");
    EXPECT_EQ(second.exitCode, 100);
    EXPECT_TRUE(HasBlock(
        second.log,
        {"    >AddPrinter(Invoices)", "      Let's check our port monitors",
         "      Port monitor is found", "      OK :)", "      Restored from an earlier run",
         "      Error(21): Can`t keep the share of printer 'Invoices' - (The Server "
         "service is not started.)"}));
    EXPECT_TRUE(HasBlock(
        second.log, Join(AddPrinterBlock("Kestrovane"), {"      Restored from an earlier run"})));
    EXPECT_EQ(Ascii(sim::FindPrinter(u"Invoices")->location), "Room 1.02");
    sim::M().shareError = 0;
    VerbRun third = RunVerb("install");
    EXPECT_EQ(third.exitCode, 1);
    EXPECT_TRUE(HasBlock(third.log, AddPrinterBlock("Invoices")));
    EXPECT_EQ(Product(), before);
    EXPECT_EQ(sim::FindKey(RecordKey), nullptr);

    sim::SetValue(RecordKey, u"SavedPrinters", REG_BINARY, {'K', 'S', 'V', 'Q'});
    VerbRun unreadable = RunVerb("install");
    EXPECT_EQ(unreadable.exitCode, 100);
    EXPECT_EQ(unreadable.log,
              Join(InstallHead(), {"    Error(20): Can`t read the printers saved by an earlier run "
                                   "in " +
                                   RecordPath + " - (The data is invalid.)"}));
    EXPECT_EQ(Product(), before);
    VerbRun uninstall = RunVerb("uninstall");
    EXPECT_EQ(uninstall.exitCode, 2);
    EXPECT_TRUE(HasBlock(uninstall.log, {"      OK", "  Saved printers of an earlier run discarded",
                                         "  >DeletePrinterDriver for Windows x64"}));
    EXPECT_EQ(sim::FindKey(RecordKey), nullptr);
}
