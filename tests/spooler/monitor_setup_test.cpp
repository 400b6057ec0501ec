#include "spooler/monitor_setup.h"

#include "run/install_log.h"
#include "spooler/monitor_removal.h"
#include "tests/spooler/spooler_steps.h"

namespace {

using MonitorListTest = SpoolerStepTest;
using SetupMonitorTest = SpoolerStepTest;

const std::string AddFailed = "  AddMonitor - failed. Trying to wait and install again";

// Our monitor was removed earlier in the run with these printers of another
// driver on its port: they wait on "file:" in `RedirectedPrinters`.
void RemoveWithPrintersOnPort(InstallContext& context) {
    MonitorList list;
    EnumMonitorList(list, context);
    RemoveMonitor(context, list);
    GlobalFree(list.entries);
}

} // namespace

TEST_F(MonitorListTest, EnumeratesLevelTwoQuietly) {
    RegisterOurMonitor(2501);
    Start();
    MonitorList list;
    EnumMonitorList(list, context);
    EXPECT_TRUE(NewLines().empty());
    ASSERT_EQ(list.count, 2u);
    EXPECT_EQ(list.level, 2u);
    const MONITOR_INFO_2W* records = reinterpret_cast<const MONITOR_INFO_2W*>(list.entries);
    EXPECT_EQ(Ascii(records[1].pName), "Kestrovane:");
    EXPECT_EQ(Ascii(records[1].pDLLName), "ksvmon64.dll");
    EXPECT_EQ(FindOurMonitor(list), 1);
    GlobalFree(list.entries);
}

TEST_F(MonitorListTest, EveryFailureLeavesAnEmptyListAndItsOwnLine) {
    const DWORD unknownCode = 77777;
    const struct {
        int nth; // which EnumMonitorsW call fails (0: none, the machine has no monitors)
        DWORD error;
        bool allocationFails;
        std::string line;
    } cases[] = {
        {0, 0, false, "1. EnumMonitors returns true"},
        {1, RPC_S_SERVER_UNAVAILABLE, false,
         "2. EnumMonitors  failed with code: The RPC server is unavailable.\r\n"},
        {1, unknownCode, false, "2. EnumMonitors  failed with code: No Error or no description"},
        {0, 0, true, "3. EnumMonitors - can't allocate memory for buffer"},
        {2, ERROR_INVALID_LEVEL, false,
         "3. EnumMonitors  failed with code: The system call level is not correct.\r\n"},
    };
    for (const auto& c : cases) {
        sim::Reset();
        InstallContext context{};
        InitContext(context, Mode64Bit);
        if (c.nth == 0 && !c.allocationFails)
            sim::M().monitors.clear();
        if (c.nth)
            sim::FailCall("EnumMonitorsW", c.error, c.nth);
        if (c.allocationFails)
            sim::FailCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY,
                          sim::CallCount("GlobalAlloc") + 1);
        size_t before = LogText(context).size();
        MonitorList list;
        EnumMonitorList(list, context);
        EXPECT_EQ(LogText(context).substr(before), c.line + "\r\n") << c.line;
        EXPECT_EQ(list.entries, nullptr);
        EXPECT_EQ(list.count, 0u);
        EXPECT_EQ(list.level, 2u);
        if (c.allocationFails) {
            EXPECT_EQ(GetLastError(), 0x8007000Eu);
        }
        EXPECT_EQ(context.ErrorCount, 0);
        FreeContext(context);
        EXPECT_EQ(sim::LiveBlocks(), 0u) << c.line;
    }
}

TEST_F(MonitorListTest, OnlyTheExactNameMatches) {
    WCHAR local[] = u"Local Port", lower[] = u"kestrovane:", longer[] = u"Kestrovane:s",
          shorter[] = u"Kestrovane", ours[] = u"Kestrovane:";
    std::vector<MONITOR_INFO_2W> records = {
        {local, nullptr, nullptr},  {nullptr, nullptr, nullptr}, {lower, nullptr, nullptr},
        {longer, nullptr, nullptr}, {shorter, nullptr, nullptr},
    };
    MonitorList list = {reinterpret_cast<BYTE*>(records.data()), 2,
                        static_cast<uint32_t>(records.size()), false};
    EXPECT_EQ(FindOurMonitor(list), -1);
    records.push_back({ours, nullptr, nullptr});
    list = {reinterpret_cast<BYTE*>(records.data()), 2, static_cast<uint32_t>(records.size()),
            false};
    EXPECT_EQ(FindOurMonitor(list), 5);
    list.count = 0;
    EXPECT_EQ(FindOurMonitor(list), -1);
}

TEST_F(MonitorListTest, EachLevelHasItsStride) {
    RegisterOurMonitor(2501);
    BYTE block[512] = {};
    DWORD needed = 0, count = 0;
    ASSERT_TRUE(EnumMonitorsW(nullptr, 1, block, sizeof block, &needed, &count));
    MonitorList list = {block, 1, count, false};
    EXPECT_EQ(FindOurMonitor(list), 1);
    for (uint32_t level : {0u, 3u, 7u}) {
        list.level = level;
        EXPECT_EQ(FindOurMonitor(list), -1) << level;
    }
}

TEST_F(MonitorListTest, LogsTheNumberedNames) {
    Start();
    WCHAR local[] = u"Local Port", ours[] = u"Kestrovane:";
    MONITOR_INFO_2W records[] = {
        {local, nullptr, nullptr}, {nullptr, nullptr, nullptr}, {ours, nullptr, nullptr}};
    MonitorList list = {reinterpret_cast<BYTE*>(records), 2, 3, false};
    LogMonitorList(context, list);
    EXPECT_EQ(NewLines(),
              (std::vector<std::string>{
                  "------- 3 existing monitors ----------", "1. Local Port", "2. ***EMPTY***",
                  "3. Kestrovane:", "---------------------------------------"}));
}

TEST_F(SetupMonitorTest, SkipsTheCopyWhenTheDllMayStay) {
    PutComponents();
    sim::PutFile(MonitorDll, "kept monitor", 2460);
    Start();
    context.CopyMonitor = 0;
    SetupMonitor(context);
    EXPECT_EQ(NewLines(), (std::vector<std::string>{">AddMonitor", "  Skip copy monitor file",
                                                    "  AddMonitor - OK :)"}));
    EXPECT_EQ(sim::FileContent(MonitorDll), "kept monitor");
    EXPECT_EQ(sim::M().spooler.stopsSeen, 0);
    EXPECT_TRUE(sim::PortExists(u"Kestrovane:"));
}

TEST_F(SetupMonitorTest, FirstCopySucceedsWithoutRestart) {
    PutComponents();
    Start();
    SetupMonitor(context);
    EXPECT_EQ(NewLines(),
              (std::vector<std::string>{">AddMonitor", "  Copy monitor file",
                                        "  >CopyFile ksvmon64.dll to C:\\Windows\\system32\\ [0])",
                                        "    Copy Succeeded :)", "  AddMonitor - OK :)"}));
    EXPECT_EQ(sim::FileContent(MonitorDll), "new monitor");
    EXPECT_EQ(sim::M().spooler.stopsSeen, 0);
    sim::Monitor* m = sim::FindMonitor(u"Kestrovane:");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(Ascii(m->dll), "ksvmon64.dll");
    EXPECT_TRUE(sim::FindFile(MonitorDll)->loadedBySpooler);
    EXPECT_EQ(context.ErrorCount, 0);
}

// The spooler still holds the DLL of the monitor that was just removed: the
// copy waits for a restart, and the printers parked on "file:" come back.
TEST_F(SetupMonitorTest, LockedDllIsCopiedWhileTheSpoolerIsStopped) {
    PutComponents();
    RegisterOurMonitor(2400);
    AddForeignPrinter(u"Office", u"Kestrovane:");
    Start();
    RemoveWithPrintersOnPort(context);
    ASSERT_EQ(Ascii(sim::FindPrinter(u"Office")->port), "file:");
    Mark();
    SetupMonitor(context);
    EXPECT_EQ(NewLines(), (std::vector<std::string>{
                              ">AddMonitor",
                              "  Copy monitor file",
                              "  >CopyFile ksvmon64.dll to C:\\Windows\\system32\\ [0])",
                              "    Copy Failed :(",
                              "  >Restart Spooler",
                              "  >CopyFile ksvmon64.dll to C:\\Windows\\system32\\ [1])",
                              "    Copy Succeeded :)",
                              "  AddMonitor - OK :)",
                              "  SetPrinter(Office) - ok",
                          }));
    EXPECT_EQ(sim::FileContent(MonitorDll), "new monitor");
    EXPECT_EQ(sim::M().spooler.stopsSeen, 1);
    EXPECT_EQ(sim::M().spooler.state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(Ascii(sim::FindPrinter(u"Office")->port), "Kestrovane:");
    EXPECT_EQ(context.ErrorCount, 0);
    EXPECT_EQ(context.LogDepth, 0);
}

TEST_F(SetupMonitorTest, RegistrationIsRetriedFiftyMillisecondsApart) {
    PutComponents();
    Start();
    context.CopyMonitor = 0;
    sim::PutFile(MonitorDll, "kept monitor", 2501);
    sim::FailCall("AddMonitorW", RPC_S_CALL_FAILED, 1, 2);
    uint64_t slept = sim::M().sleptMs;
    SetupMonitor(context);
    EXPECT_EQ(NewLines(), (std::vector<std::string>{">AddMonitor", "  Skip copy monitor file",
                                                    AddFailed, AddFailed, "  AddMonitor - OK :)"}));
    EXPECT_EQ(sim::M().sleptMs - slept, 100u);
    EXPECT_EQ(context.ErrorCount, 0);
}

TEST_F(SetupMonitorTest, FiveRefusalsAreErrorElevenAndThePrintersStayOnFile) {
    PutComponents();
    RegisterOurMonitor(2400);
    AddForeignPrinter(u"Office", u"Kestrovane:");
    Start();
    RemoveWithPrintersOnPort(context);
    context.CopyMonitor = 0;
    Mark();
    sim::FailCall("AddMonitorW", RPC_S_CALL_FAILED, 1, 5);
    uint64_t slept = sim::M().sleptMs;
    SetupMonitor(context);
    EXPECT_EQ(NewLines(),
              (std::vector<std::string>{
                  ">AddMonitor", "  Skip copy monitor file", AddFailed, AddFailed, AddFailed,
                  AddFailed, AddFailed,
                  "  Error(11): Can`t install a local port monitor'Kestrovane:' - (The remote "
                  "procedure call failed.)"}));
    EXPECT_EQ(sim::M().sleptMs - slept, 200u);
    EXPECT_EQ(context.ErrorCount, 1);
    EXPECT_EQ(context.LogDepth, 0);
    EXPECT_EQ(Ascii(sim::FindPrinter(u"Office")->port), "file:");
}

TEST_F(SetupMonitorTest, NothingFollowsWithoutRedirectedPrinters) {
    PutComponents();
    Start();
    context.RedirectedPrinters = static_cast<PRINTER_INFO_2W**>(GlobalAlloc(GPTR, 8));
    SetupMonitor(context);
    EXPECT_EQ(NewLines().back(), "  AddMonitor - OK :)");
    EXPECT_EQ(sim::CallCount("OpenPrinterW"), 0);
}

// Only the entry the removal switched comes back; a port whose name merely
// holds ours, and a "file:" of the printer's own, stay as they were.
TEST_F(SetupMonitorTest, PortListsComeBackAsTheyWere) {
    PutComponents();
    RegisterOurMonitor(2400);
    const struct {
        const char16_t* name;
        const char16_t* port;
        const char* parked; // after the removal; null: not redirected
    } printers[] = {
        {u"Front", u"Kestrovane:,LPT1:", "file:,LPT1:"},
        {u"Back", u"LPT1:,Kestrovane:", "LPT1:,file:"},
        {u"Mixed", u"myfile:,Kestrovane:", "myfile:,file:"},
        {u"Pool", u"file:,Kestrovane:", "file:,file:"},
        {u"Lookalike", u"myKestrovane:,LPT2:", nullptr},
        {u"Plain", u"LPT2:", nullptr},
    };
    for (const char16_t* other : {u"myfile:", u"myKestrovane:"}) // monitors of their own ports
        sim::M().monitors.push_back(sim::Monitor{other, u"Windows x64", u"localspl.dll"});
    std::vector<std::string> redirected;
    for (const auto& p : printers) {
        AddForeignPrinter(p.name, p.port);
        if (p.parked)
            redirected.push_back(Ascii(p.name));
    }
    Start();
    RemoveWithPrintersOnPort(context);
    EXPECT_EQ(Redirected(context), redirected);
    for (const auto& p : printers) {
        std::string parked = p.parked ? p.parked : Ascii(p.port);
        EXPECT_EQ(Ascii(InventoryEntry(context, Ascii(p.name))->pPortName), parked);
        EXPECT_EQ(Ascii(sim::FindPrinter(p.name)->port), parked);
    }
    SetupMonitor(context);
    for (const auto& p : printers) {
        EXPECT_EQ(Ascii(InventoryEntry(context, Ascii(p.name))->pPortName), Ascii(p.port));
        EXPECT_EQ(Ascii(sim::FindPrinter(p.name)->port), Ascii(p.port));
    }
}

TEST_F(SetupMonitorTest, APrinterThatCannotBeOpenedOrSetIsOnlyNamed) {
    PutComponents();
    RegisterOurMonitor(2400);
    AddForeignPrinter(u"Gone", u"Kestrovane:");
    AddForeignPrinter(u"Stuck", u"Kestrovane:");
    AddForeignPrinter(u"Office", u"Kestrovane:");
    Start();
    RemoveWithPrintersOnPort(context);
    sim::M().printers.erase(sim::M().printers.begin());
    Mark();
    context.CopyMonitor = 0;
    sim::FailCall("SetPrinterW", ERROR_ACCESS_DENIED, sim::CallCount("SetPrinterW") + 1);
    SetupMonitor(context);
    std::vector<std::string> lines = NewLines();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"  Can't open printer Gone", "  SetPrinter(Stuck) - failed",
                                        "  SetPrinter(Office) - ok"}));
    EXPECT_EQ(Ascii(sim::FindPrinter(u"Stuck")->port), "file:");
    EXPECT_EQ(context.ErrorCount, 0);
    EXPECT_EQ(sim::OpenHandles(sim::HandleKind::Printer), 0u);
}

// The DLL stays locked even with the spooler stopped: the reporting copy
// fails, and the registration is tried all the same (with the old DLL).
TEST_F(SetupMonitorTest, ASecondFailedCopyStillRegisters) {
    PutComponents();
    sim::PutFile(MonitorDll, "old monitor", 2400).lockedThroughRestart = true;
    sim::FindFile(MonitorDll)->loadedBySpooler = true;
    Start();
    SetupMonitor(context);
    std::vector<std::string> lines = NewLines();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"    Error(9): Cant't open destination file: "
                                        "C:\\Windows\\system32\\ksvmon64.dll - (The process "
                                        "cannot access the file because it is being used by "
                                        "another process.)",
                                        "    Copy Failed :(", "  AddMonitor - OK :)"}));
    EXPECT_EQ(sim::FileContent(MonitorDll), "old monitor");
    EXPECT_EQ(context.ErrorCount, 1);
}
