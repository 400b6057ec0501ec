#include "install/context_setup.h"

#include "run/install_log.h"
#include "run/module.h"
#include "tests/support/test_machine.h"

namespace {

const char* const DriverLine1 =
    "PrinterDriverDirectory(1):C:\\Windows\\system32\\spool\\drivers\\x64";
const char* const DriverLine2 =
    "PrinterDriverDirectory(2):C:\\Windows\\system32\\spool\\drivers\\x64\\";

class ContextTest : public MachineTest {
  protected:
    InstallContext context{};
    bool initialised = false;

    void Init(uint32_t mode) {
        ModuleInstance = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x400000));
        InitContext(context, mode);
        initialised = true;
    }
    void Free() {
        FreeContext(context);
        initialised = false;
        EXPECT_EQ(sim::LiveBlocks(), 0u) << "FreeContext releases all the context owns";
    }
    void TearDown() override {
        if (initialised)
            Free();
        MachineTest::TearDown();
    }
    std::vector<std::string> Lines() const { return LogLines(context); }
};

} // namespace

TEST_F(ContextTest, NormalStartLogsFourLinesAndFindsEveryDirectory) {
    Init(Mode64Bit);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"Kestrovane 2501", ">Check Spooler", DriverLine1,
                                                 DriverLine2}));
    EXPECT_EQ(Ascii(Text(context.ModuleDir)), "C:\\Program Files\\Kestrovane\\setup\\");
    EXPECT_EQ(Ascii(Text(context.SystemDir)), "C:\\Windows\\system32\\");
    EXPECT_EQ(Ascii(Text(context.DriverDir)), "C:\\Windows\\system32\\spool\\drivers\\x64\\");
    EXPECT_EQ(context.ErrorCount, 0);
    EXPECT_EQ(context.LogDepth, 0);
    EXPECT_EQ(context.CheckMonitorVersion, 0);
    EXPECT_EQ(context.InstallMonitor, 1);
    EXPECT_EQ(context.StartTray, 1);
    EXPECT_EQ(context.CopyMonitor, 1);
    EXPECT_EQ(context.DeferredDeletes, nullptr);
    EXPECT_EQ(context.SavedPrinters, nullptr);
    EXPECT_EQ(context.RedirectedPrinters, nullptr);
    EXPECT_EQ(context.Inventory.count, 0u);
    EXPECT_EQ(sim::OpenHandles(sim::HandleKind::ScManager), 0u);
    EXPECT_EQ(sim::OpenHandles(sim::HandleKind::Service), 0u);
}

TEST_F(ContextTest, ModeSelectsTheTrayFlagAndTheFileSet) {
    const struct {
        uint32_t mode;
        uint8_t startTray, is64;
        const char *environment, *monitor, *driver, *ui, *driverDir;
    } cases[] = {
        {Mode64Bit, 1, 1, "Windows x64", "ksvmon64.dll", "ksvdrv64.dll", "ksvui64.dll", "x64"},
        {Mode64Bit | ModeNoTray, 0, 1, "Windows x64", "ksvmon64.dll", "ksvdrv64.dll", "ksvui64.dll",
         "x64"},
        {0, 1, 0, "Windows NT x86", "ksvmon32.dll", "ksvdrv32.dll", "ksvui32.dll", "W32X86"},
        {ModeNoTray, 0, 0, "Windows NT x86", "ksvmon32.dll", "ksvdrv32.dll", "ksvui32.dll",
         "W32X86"},
    };
    for (const auto& c : cases) {
        Init(c.mode);
        EXPECT_EQ(context.StartTray, c.startTray) << "mode " << c.mode;
        EXPECT_EQ(context.Is64, c.is64);
        EXPECT_EQ(Ascii(context.Environment), c.environment);
        EXPECT_EQ(Ascii(context.MonitorFile), c.monitor);
        EXPECT_EQ(Ascii(context.DriverFile), c.driver);
        EXPECT_EQ(Ascii(context.UiFile), c.ui);
        EXPECT_EQ(Ascii(context.HelpFile), "ksvhelp.chm");
        EXPECT_EQ(Ascii(Text(context.DriverDir)),
                  std::string("C:\\Windows\\system32\\spool\\drivers\\") + c.driverDir + "\\");
        Free();
    }
}

TEST_F(ContextTest, ModuleDirEndsAfterTheLastSeparator) {
    const struct {
        const char* path;
        const char* directory;
    } cases[] = {
        {"D:\\setup\\ksvinstall.exe", "D:\\setup\\"},
        {"D:\\setup\\", "D:\\setup\\"},
        {"D:\\setup\\\\", "D:\\setup\\\\"},
        {"D:/setup/ksvinstall.exe", "D:/setup/"},
        {"D:\\a/ksvinstall.exe", "D:\\a/"},
        {"D:ksvinstall.exe", "D:"},
        {"ksvinstall.exe", ""},
    };
    for (const auto& c : cases) {
        sim::M().modulePath = sim::Widen(c.path);
        Init(Mode64Bit);
        EXPECT_EQ(Ascii(Text(context.ModuleDir)), c.directory) << c.path;
        EXPECT_EQ(Lines().size(), 4u) << "the module path is never logged";
        Free();
    }
}

TEST_F(ContextTest, NoModuleDirWhenThePathCannotBeRead) {
    sim::FailCall("GetModuleFileNameW", ERROR_NOT_ENOUGH_MEMORY);
    Init(Mode64Bit);
    EXPECT_EQ(context.ModuleDir.block, nullptr);
    EXPECT_EQ(context.ErrorCount, 0);
    EXPECT_EQ(Lines().size(), 4u);
    Free();

    // A path cut short by the 260-unit buffer names no real directory.
    sim::M().modulePath = u"D:\\" + sim::Text(300, u'd') + u"\\ksvinstall.exe";
    Init(Mode64Bit);
    EXPECT_EQ(context.ModuleDir.block, nullptr);
    EXPECT_EQ(context.ErrorCount, 0);
}

TEST_F(ContextTest, SystemDirGetsOneTrailingBackslash) {
    sim::M().systemDir = u"D:\\Win\\sys\\";
    Init(Mode64Bit);
    EXPECT_EQ(Ascii(Text(context.SystemDir)), "D:\\Win\\sys\\");
    Free();

    sim::M().systemDir = u"D:\\" + sim::Text(256, u's'); // 259 units: the longest that fits
    Init(Mode64Bit);
    EXPECT_EQ(Length(context.SystemDir), 260u);
    EXPECT_EQ(Text(context.SystemDir)[259], '\\');
}

TEST_F(ContextTest, SystemDirFailureIsErrorSeven) {
    sim::FailCall("GetSystemDirectoryW", ERROR_ACCESS_DENIED);
    Init(Mode64Bit);
    EXPECT_EQ(context.SystemDir.block, nullptr);
    EXPECT_EQ(context.ErrorCount, 1);
    EXPECT_EQ(Lines().back(), "Error(7): Can`t retrieve system directory. - (Access is denied.)");
    Free();

    // A system directory that does not fit the buffer is no directory either.
    sim::M().systemDir = u"D:\\" + sim::Text(300, u's');
    Init(Mode64Bit);
    EXPECT_EQ(context.SystemDir.block, nullptr);
    EXPECT_EQ(context.ErrorCount, 1);
    EXPECT_EQ(Lines().back(), "Error(7): Can`t retrieve system directory. - (The data area "
                              "passed to a system call is too small.)");
}

TEST_F(ContextTest, DriverDirWithItsBackslashIsNotDoubled) {
    sim::M().driverDirectory = u"E:\\spool\\x64\\";
    Init(Mode64Bit);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"Kestrovane 2501", ">Check Spooler",
                                                 "PrinterDriverDirectory(1):E:\\spool\\x64\\",
                                                 "PrinterDriverDirectory(2):E:\\spool\\x64\\"}));
    EXPECT_EQ(Ascii(Text(context.DriverDir)), "E:\\spool\\x64\\");
}

TEST_F(ContextTest, DriverDirFailuresAreErrorSix) {
    const struct {
        DWORD error;
        int nth;
        const char* call;
        const char* line;
    } cases[] = {
        {ERROR_INVALID_ENVIRONMENT, 1, "GetPrinterDriverDirectoryW",
         "Error(6): Can`t retrieve printer driver directory. - (The environment specified is "
         "invalid.)"},
        {ERROR_ACCESS_DENIED, 2, "GetPrinterDriverDirectoryW",
         "Error(6): Can`t retrieve printer driver directory. - (Access is denied.)"},
        {ERROR_NOT_ENOUGH_MEMORY, 1, "GlobalAlloc",
         "Error(6): Can`t retrieve printer driver directory. - (Not enough memory resources are "
         "available to process this command.)"},
    };
    for (const auto& c : cases) {
        sim::Reset();
        sim::FailCall(c.call, c.error, c.nth);
        Init(Mode64Bit);
        EXPECT_EQ(Lines(), (std::vector<std::string>{"Kestrovane 2501", ">Check Spooler", c.line}))
            << c.call << " #" << c.nth;
        EXPECT_EQ(context.DriverDir.block, nullptr);
        EXPECT_EQ(context.ErrorCount, 1);
        EXPECT_EQ(Ascii(context.HelpFile), "ksvhelp.chm");
        EXPECT_EQ(Ascii(Text(context.SystemDir)), "C:\\Windows\\system32\\");
        Free();
    }
}

TEST_F(ContextTest, SizeQueryThatSucceedsLeavesDriverDirEmptyAndSilent) {
    sim::M().driverDirectorySizeQuerySucceeds = true;
    Init(Mode64Bit);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"Kestrovane 2501", ">Check Spooler"}));
    EXPECT_EQ(context.DriverDir.block, nullptr);
    EXPECT_EQ(context.ErrorCount, 0);
}

TEST_F(ContextTest, StoppedSpoolerThatWillNotStartCostsTwoErrors) {
    sim::M().spooler.state = SERVICE_STOPPED;
    sim::M().spooler.refusesStart = true;
    Init(Mode64Bit);
    EXPECT_EQ(Lines(),
              (std::vector<std::string>{
                  "Kestrovane 2501", ">Check Spooler",
                  "  Error(4): Can't start the spooler - (The service cannot be started, either "
                  "because it is disabled or because it has no enabled devices associated with "
                  "it.)",
                  "Error(6): Can`t retrieve printer driver directory. - (The RPC server is "
                  "unavailable.)"}));
    EXPECT_EQ(context.ErrorCount, 2);
    EXPECT_EQ(sim::M().sleptMs, 10000u);
    EXPECT_EQ(Ascii(Text(context.ModuleDir)), "C:\\Program Files\\Kestrovane\\setup\\");
}

TEST_F(ContextTest, FreeingAnEmptyContextReleasesNothingTwice) {
    InstallContext empty{};
    FreeContext(empty);
    EXPECT_EQ(sim::CallCount("HeapFree"), 0);
    EXPECT_EQ(empty.LogText.block, nullptr);

    sim::FailCall("GetModuleFileNameW", ERROR_ACCESS_DENIED);
    sim::FailCall("GetSystemDirectoryW", ERROR_ACCESS_DENIED);
    sim::FailCall("GetPrinterDriverDirectoryW", ERROR_ACCESS_DENIED);
    Init(Mode64Bit);
    EXPECT_EQ(context.ModuleDir.block, nullptr);
    EXPECT_EQ(context.SystemDir.block, nullptr);
    EXPECT_EQ(context.DriverDir.block, nullptr);
    Free();
    EXPECT_EQ(sim::CallCount("HeapFree"), 1) << "only the log had a block";
    EXPECT_EQ(sim::BadFrees(), 0);
}
