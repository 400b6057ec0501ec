#include "spooler/monitor_removal.h"

#include "spooler/monitor_setup.h"
#include "tests/spooler/spooler_steps.h"

#include <algorithm>
#include <tuple>

namespace {

class RemoveMonitorTest : public SpoolerStepTest {
  protected:
    // Enumerates as UnInstall does, removes, and frees the list.
    void Remove() {
        MonitorList list;
        EnumMonitorList(list, context);
        Mark();
        RemoveMonitor(context, list);
        GlobalFree(list.entries);
    }
};

using ReadFileVersionTest = MachineTest;

const std::vector<std::string> MonitorListLines = {
    "  ------- 2 existing monitors ----------", "  1. Local Port",
    "  2. Kestrovane:", "  ---------------------------------------"};

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

TEST_F(ReadFileVersionTest, GivesTheFourthPartOfTheProductVersion) {
    sim::PutFile(MonitorDll, "dll", 2460);
    EXPECT_EQ(ReadFileVersion(MonitorDll.c_str()), 2460);
    sim::PutFile(MonitorDll, "dll", 65535);
    EXPECT_EQ(ReadFileVersion(MonitorDll.c_str()), 65535);
    EXPECT_EQ(sim::LiveBlocks(), 0u);
}

TEST_F(ReadFileVersionTest, EveryFailureGivesMinusOneAndFreesTheBlock) {
    const struct {
        const char* call; // the call that fails; null: the file has no resource
        bool missing;
    } cases[] = {{nullptr, false},
                 {nullptr, true},
                 {"GlobalAlloc", false},
                 {"GetFileVersionInfoW", false},
                 {"VerQueryValueW", false}};
    for (const auto& c : cases) {
        sim::Reset();
        if (!c.missing)
            sim::PutFile(MonitorDll, "dll", c.call ? 2501 : -1);
        if (c.call)
            sim::FailCall(c.call, ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(ReadFileVersion(MonitorDll.c_str()), -1) << (c.call ? c.call : "no resource");
        EXPECT_EQ(sim::LiveBlocks(), 0u);
        if (!c.call) {
            EXPECT_EQ(GetLastError(), c.missing ? DWORD(ERROR_FILE_NOT_FOUND)
                                                : DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND));
        }
    }
}

// The Part's example: two printers of another driver on our port, and a
// spooler that lets the monitor go once they are moved.
TEST_F(RemoveMonitorTest, UninstallMovesThePrintersToFileFirst) {
    RegisterOurMonitor(2501);
    AddForeignPrinter(u"Office", u"Kestrovane:");
    AddForeignPrinter(u"Lab", u"Kestrovane:");
    Start();
    Remove();
    EXPECT_EQ(NewLines(),
              Join(Join({">DeleteMonitor"}, MonitorListLines),
                   {"  Port monitor is found. Index=2",
                    "  Trying to get monitor filename from MONITOR_INFO_2",
                    "  Auto calculated monitor file name: C:\\Windows\\system32\\ksvmon64.dll",
                    "  There is no check for monitor version",
                    "  Can't delete monitor from the first try", "  SetPrinter(Office) - ok",
                    "  SetPrinter(Lab) - ok", "  Monitor was removed :)"}));
    EXPECT_EQ(sim::FindMonitor(u"Kestrovane:"), nullptr);
    EXPECT_FALSE(sim::PortExists(u"Kestrovane:"));
    EXPECT_EQ(Ascii(sim::FindPrinter(u"Office")->port), "file:");
    EXPECT_EQ(Redirected(context), (std::vector<std::string>{"Office", "Lab"}));
    // The spooler still holds the DLL: it waits in the list for a later try.
    EXPECT_TRUE(sim::FileExists(MonitorDll));
    EXPECT_EQ(Deferred(context), (std::vector<std::string>{Ascii(MonitorDll)}));
    EXPECT_EQ(context.ErrorCount, 0);
    EXPECT_EQ(context.LogDepth, 0);
}

TEST_F(RemoveMonitorTest, AnUnloadedDllIsDeletedAtOnce) {
    RegisterOurMonitor(2501).loadedBySpooler = false;
    Start();
    Remove();
    EXPECT_EQ(NewLines().back(), "  Monitor was removed :)");
    EXPECT_FALSE(sim::FileExists(MonitorDll));
    EXPECT_EQ(context.DeferredDeletes, nullptr);
    EXPECT_EQ(context.RedirectedPrinters, nullptr);
}

TEST_F(RemoveMonitorTest, NothingToRemove) {
    Start();
    sim::M().monitors.clear();
    Remove();
    EXPECT_EQ(NewLines(),
              (std::vector<std::string>{
                  ">DeleteMonitor", "  BTW, there is no port monitors on this system.",
                  "  No Kestrovane port monitor was found.", "  Computing monitor filename",
                  "  Auto calculated monitor file name: C:\\Windows\\system32\\ksvmon64.dll",
                  "  There is no check for monitor version",
                  "  Can't delete monitor and monitor was not found. So everything should be ok"}));
    EXPECT_EQ(context.ErrorCount, 0);
}

// Which builds a reinstall keeps, with the monitor registered or only its DLL
// in the system directory.
class MonitorBuildTest : public RemoveMonitorTest,
                         public ::testing::WithParamInterface<std::tuple<int, bool>> {};

TEST_P(MonitorBuildTest, CompatibleBuildsAreKept) {
    int build = std::get<0>(GetParam());
    bool registered = std::get<1>(GetParam());
    if (registered)
        RegisterOurMonitor(build);
    else
        sim::PutFile(MonitorDll, "dll", build);
    Start();
    context.CheckMonitorVersion = 1;
    Remove();
    std::vector<std::string> lines = NewLines();
    bool compatible = build >= 2451 && build <= 2501;
    std::string b = std::to_string(build);
    if (compatible) {
        std::string flags = registered ? "  InstallMonitor == 0, CopyMonitor == 1"
                                       : "  InstallMonitor == 1, CopyMonitor == 0";
        EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
                  (std::vector<std::string>{
                      "  Version (" + b + ") is compatible, proceed without uninstall", flags}));
        EXPECT_EQ(sim::FindMonitor(u"Kestrovane:") != nullptr, registered);
    } else {
        EXPECT_NE(std::find(lines.begin(), lines.end(),
                            "  Version (" + b + ") is not supported, proceed with reinstall"),
                  lines.end());
        EXPECT_EQ(context.InstallMonitor, 1);
        EXPECT_EQ(context.CopyMonitor, 1);
        EXPECT_EQ(sim::FindMonitor(u"Kestrovane:"), nullptr);
        EXPECT_EQ(lines.back(), registered ? "  Monitor was removed :)"
                                           : "  Can't delete monitor and monitor was not "
                                             "found. So everything should be ok");
    }
    // The DLL stays unless the monitor went; a loaded one is deferred.
    EXPECT_TRUE(sim::FileExists(MonitorDll));
    EXPECT_EQ(context.DeferredDeletes != nullptr, registered && !compatible);
    EXPECT_EQ(context.ErrorCount, 0);
}

INSTANTIATE_TEST_SUITE_P(Builds, MonitorBuildTest,
                         ::testing::Combine(::testing::Values(2450, 2451, 2460, 2501, 2502),
                                            ::testing::Bool()));

TEST_F(RemoveMonitorTest, AnUnreadableVersionProceedsWithTheRemoval) {
    RegisterOurMonitor(-1);
    Start();
    context.CheckMonitorVersion = 1;
    Remove();
    std::vector<std::string> lines = NewLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "  Version is unknown, proceed with reinstall"),
              lines.end());
    EXPECT_EQ(lines.back(), "  Monitor was removed :)");
}

TEST_F(RemoveMonitorTest, SecondRefusalRestartsTheSpoolerForTheThirdTry) {
    RegisterOurMonitor(2501);
    sim::M().monitorBusyUntilRestart = true;
    Start();
    Remove();
    std::vector<std::string> lines = NewLines();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"  Can't delete monitor from the first try",
                                        "  >Restart Spooler", "  Monitor was removed :)"}));
    EXPECT_EQ(context.RedirectedPrinters, nullptr) << "an empty inventory needs no array";
    EXPECT_EQ(sim::M().spooler.stopsSeen, 1);
    // The restarted spooler loaded the monitor, still registered then, again:
    // its DLL waits for the retries.
    EXPECT_TRUE(sim::FileExists(MonitorDll));
    EXPECT_EQ(Deferred(context), (std::vector<std::string>{Ascii(MonitorDll)}));
}

// Error 12 leaves the monitor registered: its printers go back to its port at
// once rather than waiting on "file:" for a monitor that never went.
TEST_F(RemoveMonitorTest, ThreeRefusalsAreErrorTwelveAndThePrintersReturn) {
    RegisterOurMonitor(2501);
    AddForeignPrinter(u"Office", u"Kestrovane:,LPT1:");
    Start();
    sim::FailCall("DeleteMonitorW", ERROR_PRINT_MONITOR_IN_USE, 1, 3);
    Remove();
    std::vector<std::string> lines = NewLines();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 5, lines.end()),
              (std::vector<std::string>{
                  "  Can't delete monitor from the first try", "  SetPrinter(Office) - ok",
                  "  >Restart Spooler",
                  "  Error(12): Can`t remove the port monitor 'Kestrovane:' - (The specified "
                  "print monitor is currently in use.)",
                  "  SetPrinter(Office) - ok"}));
    EXPECT_EQ(context.ErrorCount, 1);
    EXPECT_EQ(context.LogDepth, 0);
    EXPECT_EQ(Ascii(sim::FindPrinter(u"Office")->port), "Kestrovane:,LPT1:");
    EXPECT_EQ(Ascii(InventoryEntry(context, "Office")->pPortName), "Kestrovane:,LPT1:");
    EXPECT_EQ(context.RedirectedPrinters, nullptr);
    EXPECT_NE(sim::FindMonitor(u"Kestrovane:"), nullptr);
    EXPECT_TRUE(sim::FileExists(MonitorDll));
    EXPECT_EQ(context.DeferredDeletes, nullptr);
}

// RemoveAllPrinters deleted our own printers earlier in the run; their
// entries are still switched and listed.
TEST_F(RemoveMonitorTest, PrintersDeletedEarlierAreListedToo) {
    RegisterOurMonitor(2501);
    sim::Driver ours;
    ours.name = u"Kestrovane printer";
    ours.environment = u"Windows x64";
    sim::M().drivers.push_back(ours);
    sim::AddPrinter(u"Kestrovane", u"Kestrovane printer", u"Kestrovane:");
    Start();
    sim::M().printers.clear();
    sim::FailCall("DeleteMonitorW", ERROR_PRINT_MONITOR_IN_USE);
    Remove();
    std::vector<std::string> lines = NewLines();
    EXPECT_EQ(
        std::vector<std::string>(lines.end() - 3, lines.end()),
        (std::vector<std::string>{"  Can't delete monitor from the first try",
                                  "  Can't open printer Kestrovane", "  Monitor was removed :)"}));
    EXPECT_EQ(Redirected(context), (std::vector<std::string>{"Kestrovane"}));
    EXPECT_EQ(Ascii(InventoryEntry(context, "Kestrovane")->pPortName), "file:");
    EXPECT_EQ(context.ErrorCount, 0);
}

// A printer the spooler would not move keeps the port in use to the end.
TEST_F(RemoveMonitorTest, APrinterThatCannotBeMovedKeepsThePortBusy) {
    RegisterOurMonitor(2501);
    AddForeignPrinter(u"Office", u"Kestrovane:");
    Start();
    sim::FailCall("SetPrinterW", ERROR_ACCESS_DENIED, sim::CallCount("SetPrinterW") + 1);
    Remove();
    std::vector<std::string> lines = NewLines();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 5, lines.end()),
              (std::vector<std::string>{
                  "  Can't delete monitor from the first try", "  SetPrinter(Office) - failed",
                  "  >Restart Spooler",
                  "  Error(12): Can`t remove the port monitor 'Kestrovane:' - (The specified "
                  "print monitor is currently in use.)",
                  "  SetPrinter(Office) - ok"}));
    EXPECT_EQ(Ascii(sim::FindPrinter(u"Office")->port), "Kestrovane:");
    EXPECT_EQ(context.ErrorCount, 1);
}

TEST_F(RemoveMonitorTest, WithoutMemoryForTheArrayNoPrinterIsSwitched) {
    RegisterOurMonitor(2501);
    AddForeignPrinter(u"Office", u"Kestrovane:");
    Start();
    sim::FailCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, sim::CallCount("GlobalAlloc") + 2);
    Remove();
    EXPECT_EQ(context.RedirectedPrinters, nullptr);
    EXPECT_EQ(Ascii(sim::FindPrinter(u"Office")->port), "Kestrovane:");
    EXPECT_EQ(Ascii(InventoryEntry(context, "Office")->pPortName), "Kestrovane:");
    EXPECT_EQ(context.ErrorCount, 1) << "the port stays in use: error 12";
}

// Only a plain file name in the system directory is ever deleted or deferred:
// never the directory (no DLL name, "."), what ".." makes of it, a name
// relative to nothing, nor a DLL that another registered monitor loads.
TEST_F(RemoveMonitorTest, OnlyAFileOfOursInsideTheSystemDirectoryIsDeleted) {
    const struct {
        const char16_t* dll;
        bool noSystemDir;
        const char* shown;
    } cases[] = {
        {u"", false, "C:\\Windows\\system32\\"},
        {u"ksvmon64.dll", true, "ksvmon64.dll"},
        {u".", false, "C:\\Windows\\system32\\."},
        {u"..", false, "C:\\Windows\\system32\\.."},
        {u"ksvmon64.dll.", false, "C:\\Windows\\system32\\ksvmon64.dll."},
        {u"LOCALSPL.DLL", false, "C:\\Windows\\system32\\LOCALSPL.DLL"},
    };
    for (const auto& c : cases) {
        sim::Reset();
        RegisterOurMonitor(2400, c.dll);
        sim::PutFile(u"C:\\Windows\\system32\\localspl.dll", "the system's port monitor");
        if (c.noSystemDir)
            sim::FailCall("GetSystemDirectoryW", ERROR_NOT_ENOUGH_MEMORY);
        InstallContext context{};
        InitContext(context, Mode64Bit);
        context.CheckMonitorVersion = 1;
        MonitorList list;
        EnumMonitorList(list, context);
        sim::M().pathCalls.clear();
        RemoveMonitor(context, list);
        GlobalFree(list.entries);
        std::vector<std::string> lines = LogLines(context);
        EXPECT_NE(std::find(lines.begin(), lines.end(),
                            std::string("  Auto calculated monitor file name: ") + c.shown),
                  lines.end());
        EXPECT_EQ(lines.back(), "  Monitor was removed :)");
        for (const sim::PathCall& call : sim::M().pathCalls)
            EXPECT_EQ(call.use, sim::PathUse::Read) << c.shown << ": " << call.call;
        EXPECT_TRUE(sim::M().pathCalls.empty() ||
                    std::string(c.shown).find("LOCALSPL") != std::string::npos)
            << c.shown << ": no path of it is even read";
        EXPECT_EQ(context.DeferredDeletes, nullptr);
        EXPECT_TRUE(sim::FileExists(u"C:\\Windows\\system32\\localspl.dll"));
        FreeContext(context);
    }
}
