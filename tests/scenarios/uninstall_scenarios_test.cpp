// Whole uninstall runs on the simulated machine.
#include "tests/support/scenario.h"

using namespace scenario;

namespace {

using UninstallScenario = MachineTest;

// UnInstall's lines on a machine where the product is installed, at depth 0.
const std::vector<std::string> UnInstallInstalled = {
    ">UnInstall",
    "  EnumMonitors",
    "  2 Monitors found.",
    "  EnumPrinterDrivers for Windows x64",
    "  1 drivers found",
    "  >DeleteAllPrinters",
    "    >DeletePrinter(Kestrovane)",
    "      OK",
    "  >DeletePrinterDriver for Windows x64",
    "    ------------ 1 existing drivers-----------",
    "    1. Kestrovane printer",
    "    -------------------------------------------",
    "    Driver is found. Index=1",
    "    OK :)",
    "  >DeleteMonitor",
    "    ------- 2 existing monitors ----------",
    "    1. Local Port",
    "    2. Kestrovane:",
    "    ---------------------------------------",
    "    Port monitor is found. Index=2",
    "    Trying to get monitor filename from MONITOR_INFO_2",
    "    Auto calculated monitor file name: C:\\Windows\\system32\\ksvmon64.dll",
    "    There is no check for monitor version",
    "    Monitor was removed :)",
    // The spooler still holds the DLL of the monitor it just dropped.
    "  DeleteFile-try",
};

void ExpectNothingOfOurs() {
    EXPECT_EQ(sim::FindMonitor(u"Kestrovane:"), nullptr);
    EXPECT_EQ(sim::FindDriver(u"Kestrovane printer"), nullptr);
    for (const sim::Printer& p : sim::M().printers)
        EXPECT_NE(Ascii(p.driver), "Kestrovane printer") << Ascii(p.name);
    EXPECT_FALSE(sim::FileExists(Store + u"ksvdrv64.dll"));
    EXPECT_EQ(RunValue(), "(none)");
    EXPECT_FALSE(TrayRunning());
}

} // namespace

TEST_F(UninstallScenario, MachineWithoutTheProductRunsEveryStep) {
    PlacePackage();
    OtherPrinter(u"Laser", u"LPT1:");
    sim::M().defaultPrinter = u"Laser";
    VerbRun run = RunVerb("uninstall");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.dialogShown) << "Shift shows the log, the exit code stays";
    EXPECT_EQ(run.log,
              Join(ContextLines(),
                   {
                       ">UnInstall",
                       "  EnumMonitors",
                       "  1 Monitors found.",
                       "  EnumPrinterDrivers for Windows x64",
                       "  1 drivers found",
                       "  >DeleteAllPrinters",
                       "  >DeletePrinterDriver for Windows x64",
                       "    ------------ 1 existing drivers-----------",
                       "    1. Vendor PCL",
                       "    -------------------------------------------",
                       "    No Kestrovane driver was found",
                       "  >DeleteMonitor",
                       "    ------- 1 existing monitors ----------",
                       "    1. Local Port",
                       "    ---------------------------------------",
                       "    No Kestrovane port monitor was found.",
                       "    Computing monitor filename",
                       "    Auto calculated monitor file name: C:\\Windows\\system32\\ksvmon64.dll",
                       "    There is no check for monitor version",
                       "    Can't delete monitor and monitor was not found. So everything should "
                       "be ok",
                   }));
    EXPECT_EQ(PrinterNames(), (std::vector<std::string>{"Laser"}));
    EXPECT_NE(sim::FindDriver(OtherDriver), nullptr);
    EXPECT_EQ(Ascii(sim::M().defaultPrinter), "Laser");
    EXPECT_FALSE(sim::FileExists(TrayExe)) << "ours, whether or not a Run value named it";
    // Nothing deferred, so the spooler is never stopped; the missing Run
    // value costs StopTray its pause.
    EXPECT_EQ(run.spoolerStops, 0);
    EXPECT_EQ(run.virtualMs, 1000u);
}

// The spooler reports STOPPED before its process has ended and let go of the
// DLL: the retry waits for the process, within the stop's 10 s.
TEST_F(UninstallScenario, HeldMonitorDllGoesOnTheRetryWithTheSpoolerStopped) {
    const struct {
        DWORD exitDelayMs;
        int exitCode;
        uint64_t virtualMs;
    } cases[] = {{0, 2, 0}, {3000, 2, 3000}, {20000, 101, 10000}};
    for (const auto& c : cases) {
        sim::Reset();
        InstalledMachine();
        sim::M().spooler.exitDelayMs = c.exitDelayMs;
        VerbRun run = RunVerb("uninstall");
        EXPECT_EQ(run.exitCode, c.exitCode) << c.exitDelayMs;
        EXPECT_EQ(run.log, Join(Join(ContextLines(), UnInstallInstalled),
                                {"DeleteFile-try", ">Restart Spooler", "DeleteFile-try"}));
        ExpectNothingOfOurs();
        EXPECT_EQ(sim::FileExists(MonitorDll), c.exitCode == 101) << c.exitDelayMs;
        EXPECT_FALSE(sim::FileExists(TrayExe)) << "the tray program the Run value named";
        EXPECT_EQ(PendingOperations().empty(), c.exitCode == 2) << c.exitDelayMs;
        EXPECT_TRUE(sim::M().printers.empty());
        EXPECT_EQ(run.spoolerStops, 1);
        EXPECT_EQ(run.virtualMs, c.virtualMs) << "the tray program quits at once";
    }
}

// A driver file still loaded when the driver goes is moved aside and queued
// for deletion at the restart by the spooler: it is deleted once the spooler
// lets go (the restart the monitor DLL needs); loaded by another program (an
// open printing preferences dialog), it waits, and the exit code says so.
TEST_F(UninstallScenario, ADriverFileInUseIsDeletedOrWaitsForTheRestart) {
    const sim::Text copy = Store + u"Old\\1\\ksvui64.dll";
    for (bool spooler : {true, false}) {
        sim::Reset();
        InstalledMachine();
        sim::File* ui = sim::FindFile(Store + u"ksvui64.dll");
        (spooler ? ui->loadedBySpooler : ui->loadedByProcess) = true;
        VerbRun run = RunVerb("uninstall");
        EXPECT_EQ(run.exitCode, spooler ? 2 : 101) << spooler;
        EXPECT_EQ(run.log, Join(Join(ContextLines(), UnInstallInstalled),
                                {"DeleteFile-try", ">Restart Spooler", "DeleteFile-try"}));
        EXPECT_EQ(sim::FileExists(copy), !spooler);
        EXPECT_EQ(PendingOperations(), (std::vector<std::string>{"\\??\\" + Ascii(copy), ""}))
            << "queued by the spooler, and by nobody else";
        EXPECT_EQ(run.spoolerStops, 1);
    }
}

TEST_F(UninstallScenario, MonitorDllLockedThroughTheRestartIsScheduled) {
    InstalledMachine();
    sim::FindFile(MonitorDll)->lockedThroughRestart = true;
    VerbRun run = RunVerb("uninstall");
    EXPECT_EQ(run.exitCode, 101);
    EXPECT_TRUE(run.dialogShown);
    EXPECT_EQ(run.log, Join(Join(ContextLines(), UnInstallInstalled),
                            {"DeleteFile-try", ">Restart Spooler", "DeleteFile-try"}));
    ExpectNothingOfOurs();
    EXPECT_EQ(PendingOperations(), (std::vector<std::string>{"\\??\\" + Ascii(MonitorDll), ""}));
    EXPECT_EQ(run.spoolerStops, 1);
    EXPECT_EQ(run.virtualMs, 0u);

    sim::Reboot();
    EXPECT_FALSE(sim::FileExists(MonitorDll));
}

// Wine's spooler refuses the delete flag (87) but drops the registration
// when asked without one; the driver's files are then the spooler's.
TEST_F(UninstallScenario, RefusedDeleteFlagFallsBackToTheRegistrationOnly) {
    InstalledMachine();
    sim::M().wineDriverDeletion = true;
    VerbRun run = RunVerb("uninstall");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.log, Join(Join(ContextLines(), UnInstallInstalled),
                            {"DeleteFile-try", ">Restart Spooler", "DeleteFile-try"}));
    EXPECT_EQ(sim::FindDriver(u"Kestrovane printer"), nullptr);
    EXPECT_TRUE(sim::FileExists(Store + u"ksvdrv64.dll"));
    EXPECT_EQ(run.spoolerStops, 1) << "only the monitor DLL's retry";
}

// Files an earlier run queued for the restart are deleted now where they can be.
TEST_F(UninstallScenario, QueuedDeletionsAreCarriedOutNow) {
    PlacePackage();
    const sim::Text staged = Staging + u"ksvui64.dll";
    sim::PutFile(staged, "old ui");
    SetPendingOperations({u"\\??\\" + staged, u""});
    VerbRun run = RunVerb("uninstall");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_FALSE(sim::FileExists(staged));
    EXPECT_EQ(PendingOperations(), (std::vector<std::string>{"\\??\\" + Ascii(staged), ""}))
        << "the value itself is only read";
    EXPECT_EQ(run.spoolerStops, 0);
}

TEST_F(UninstallScenario, ErrorsGiveOneHundredAndTheLog) {
    InstalledMachine();
    sim::FailCall("DeletePrinterDriverExW", ERROR_PRINTER_DRIVER_IN_USE,
                  sim::CallCount("DeletePrinterDriverExW") + 1, 2);
    VerbRun run = RunVerb("uninstall", false);
    EXPECT_EQ(run.exitCode, 100);
    ASSERT_TRUE(run.dialogShown);
    EXPECT_TRUE(HasBlock(run.log, {"    Driver is found. Index=1",
                                   "    Can't delete driver. Trying to restart spooler",
                                   "    >Restart Spooler",
                                   "    Error(14): Can`t remove the printer-driver 'Kestrovane "
                                   "printer' - (The specified printer driver is currently in use.)",
                                   "  >DeleteMonitor"}))
        << ::testing::PrintToString(run.log);
    EXPECT_NE(sim::FindDriver(u"Kestrovane printer"), nullptr);
    EXPECT_EQ(sim::FindMonitor(u"Kestrovane:"), nullptr) << "the next step ran all the same";
    EXPECT_EQ(run.spoolerStops, 2) << "the driver's retry, then the DLL's";
}
