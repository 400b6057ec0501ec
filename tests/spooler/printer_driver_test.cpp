#include "spooler/printer_driver.h"

#include "tests/spooler/spooler_steps.h"

namespace {

using DriverListTest = SpoolerStepTest;
using SetupDriverTest = SpoolerStepTest;

class RemoveDriverTest : public SpoolerStepTest {
  protected:
    void Remove() {
        DriverList list;
        EnumDriverList(list, context.Environment);
        Mark();
        RemoveDriver(context, list);
        GlobalFree(list.entries);
    }
};

const sim::Text Store = u"C:\\Windows\\system32\\spool\\drivers\\x64\\3\\";

sim::Driver& RegisterDriver(const sim::Text& name) {
    sim::Driver d;
    d.name = name;
    d.environment = u"Windows x64";
    sim::M().drivers.push_back(d);
    return sim::M().drivers.back();
}

// Our driver as an earlier install left it, its files in the driver store.
void RegisterOurDriver() {
    for (const char16_t* f : {u"ksvdrv64.dll", u"ksvui64.dll", u"ksvhelp.chm"})
        sim::PutFile(Store + f, "old");
    sim::Driver& d = RegisterDriver(u"Kestrovane printer");
    d.driverPath = d.dataFile = Store + u"ksvdrv64.dll";
    d.configFile = Store + u"ksvui64.dll";
    d.helpFile = Store + u"ksvhelp.chm";
}

std::vector<std::string> CopyBlock(const std::string& file, const std::string& last) {
    return {"  >CopyFile " + file + " to C:\\Windows\\system32\\spool\\drivers\\x64\\ [1])",
            "    " + last};
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

TEST_F(DriverListTest, EachLevelIsSearchedWithItsStride) {
    RegisterDriver(u"kestrovane printer");
    RegisterDriver(u"Kestrovane printer 2");
    RegisterOurDriver();
    for (DWORD level = 1; level <= 6; ++level) {
        BYTE block[4096] = {};
        DWORD needed = 0, count = 0;
        ASSERT_TRUE(
            EnumPrinterDriversW(nullptr, nullptr, level, block, sizeof block, &needed, &count));
        DriverList list = {block, level, count, false};
        EXPECT_EQ(FindOurDriver(list), 2) << "level " << level;
        if (level == 6) {
            for (uint32_t other : {0u, 7u}) {
                list.level = other;
                EXPECT_EQ(FindOurDriver(list), -1) << "level " << other;
            }
        }
    }
}

TEST_F(DriverListTest, EnumeratesLevelSixOrNothing) {
    RegisterOurDriver();
    Start();
    DriverList list;
    EnumDriverList(list, context.Environment);
    EXPECT_EQ(list.level, 6u);
    ASSERT_EQ(list.count, 1u);
    EXPECT_EQ(Ascii(reinterpret_cast<DRIVER_INFO_6W*>(list.entries)->pName), "Kestrovane printer");
    GlobalFree(list.entries);

    const struct {
        const char* call;
        int nth;
    } failures[] = {{"EnumPrinterDriversW", 1}, {"GlobalAlloc", 1}, {"EnumPrinterDriversW", 2}};
    for (const auto& f : failures) {
        sim::FailCall(f.call, ERROR_NOT_ENOUGH_MEMORY, sim::CallCount(f.call) + f.nth);
        EnumDriverList(list, context.Environment);
        EXPECT_EQ(list.entries, nullptr) << f.call << f.nth;
        EXPECT_EQ(list.count, 0u);
        if (std::string(f.call) == "GlobalAlloc") {
            EXPECT_EQ(GetLastError(), 0x8007000Eu);
        }
    }
    EXPECT_TRUE(NewLines().empty());
}

TEST_F(SetupDriverTest, CleanMachineRegistersFromTheStore) {
    PutComponents();
    Start();
    SetupDriver(context);
    EXPECT_EQ(NewLines(), Join(Join(Join({">Add Printer Driver"},
                                         CopyBlock("ksvdrv64.dll", "Copy Succeeded :)")),
                                    CopyBlock("ksvui64.dll", "Copy Succeeded :)")),
                               Join(CopyBlock("ksvhelp.chm", "Copy Succeeded :)"), {"  OK :)"})));
    sim::Driver* d = sim::FindDriver(u"Kestrovane printer");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->version, 3u);
    EXPECT_EQ(Ascii(d->driverPath), Ascii(Store + u"ksvdrv64.dll"));
    EXPECT_EQ(Ascii(d->dataFile), Ascii(Store + u"ksvdrv64.dll"));
    EXPECT_EQ(Ascii(d->configFile), Ascii(Store + u"ksvui64.dll"));
    EXPECT_EQ(Ascii(d->helpFile), Ascii(Store + u"ksvhelp.chm"));
    EXPECT_EQ(Ascii(d->manufacturer), "Vorland Software Kft.");
    EXPECT_EQ(Ascii(d->provider), "Vorland Software Kft.");
    EXPECT_EQ(sim::FileContent(Store + u"ksvui64.dll"), "driver ui");
    for (const char16_t* f : {u"ksvdrv64.dll", u"ksvui64.dll", u"ksvhelp.chm"})
        EXPECT_FALSE(sim::FileExists(StagingDir + f)) << "the staged copies are gone";
    EXPECT_EQ(context.DeferredDeletes, nullptr);
    EXPECT_EQ(context.ErrorCount, 0);
}

TEST_F(SetupDriverTest, MissingHelpFileRegistersWithoutHelp) {
    PutComponents();
    sim::M().files.erase(sim::Upper(SetupDir + u"ksvhelp.chm"));
    Start();
    SetupDriver(context);
    std::vector<std::string> lines = NewLines();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
              (std::vector<std::string>{
                  "  >CopyFile ksvhelp.chm to C:\\Windows\\system32\\spool\\drivers\\x64\\ [1])",
                  "    Error(10): Cant't open source file: ksvhelp.chm - (The system cannot find "
                  "the file specified.)",
                  "    Copy Failed :(", "  OK :)"}));
    sim::Driver* d = sim::FindDriver(u"Kestrovane printer");
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->helpFile.empty());
    EXPECT_EQ(context.ErrorCount, 1);
    EXPECT_EQ(context.DeferredDeletes, nullptr) << "the empty help path is not deferred";
}

TEST_F(SetupDriverTest, MissingUiDllLeavesTheDriverDllStaged) {
    PutComponents();
    sim::M().files.erase(sim::Upper(SetupDir + u"ksvui64.dll"));
    Start();
    SetupDriver(context);
    EXPECT_EQ(NewLines().back(), "    Copy Failed :(");
    EXPECT_EQ(sim::CallCount("AddPrinterDriverExW"), 0);
    EXPECT_EQ(sim::FindDriver(u"Kestrovane printer"), nullptr);
    EXPECT_TRUE(sim::FileExists(StagingDir + u"ksvdrv64.dll"));
    EXPECT_EQ(context.ErrorCount, 1);
    EXPECT_EQ(context.LogDepth, 0);
}

TEST_F(SetupDriverTest, RefusedRegistrationIsErrorThirteenAndStillCleansUp) {
    PutComponents();
    Start();
    sim::FailCall("AddPrinterDriverExW", ERROR_ACCESS_DENIED);
    // The spooler keeps the staged interface DLL open: its deletion waits.
    sim::M().onCall = [](const std::string& call, int) {
        if (call == "AddPrinterDriverExW")
            sim::FindFile(StagingDir + u"ksvui64.dll")->heldOpen = true;
    };
    SetupDriver(context);
    sim::M().onCall = nullptr;
    std::vector<std::string> lines = NewLines();
    EXPECT_EQ(
        lines.back(),
        "  Error(13): Can`t install a printer driver 'Kestrovane printer' - (Access is denied.)");
    EXPECT_EQ(context.ErrorCount, 1);
    EXPECT_FALSE(sim::FileExists(StagingDir + u"ksvdrv64.dll"));
    EXPECT_FALSE(sim::FileExists(StagingDir + u"ksvhelp.chm"));
    EXPECT_EQ(Deferred(context), (std::vector<std::string>{Ascii(StagingDir + u"ksvui64.dll")}));
}

TEST_F(RemoveDriverTest, ListsTheDriversAndDeletesOursWithItsFiles) {
    RegisterDriver(ForeignDriver);
    RegisterOurDriver();
    sim::FindFile(Store + u"ksvui64.dll")->loadedBySpooler = true;
    Start();
    Remove();
    EXPECT_EQ(NewLines(), (std::vector<std::string>{">DeletePrinterDriver for Windows x64",
                                                    "  ------------ 2 existing drivers-----------",
                                                    "  1. Vendor PCL", "  2. Kestrovane printer",
                                                    "  -------------------------------------------",
                                                    "  Driver is found. Index=2", "  OK :)"}));
    EXPECT_EQ(sim::FindDriver(u"Kestrovane printer"), nullptr);
    EXPECT_FALSE(sim::FileExists(Store + u"ksvdrv64.dll"));
    EXPECT_FALSE(sim::FileExists(Store + u"ksvui64.dll"));
    EXPECT_TRUE(sim::FileExists(Store + u"Old\\1\\ksvui64.dll")) << "a loaded file goes aside";
    EXPECT_EQ(QueuedTexts(),
              (std::vector<sim::Text>{u"\\??\\" + Store + u"Old\\1\\ksvui64.dll", u""}))
        << "and waits for the restart";
    EXPECT_EQ(sim::M().spooler.stopsSeen, 0);
}

TEST_F(RemoveDriverTest, DriverInUseIsDeletedAfterARestart) {
    RegisterOurDriver();
    sim::M().driverBusyUntilRestart = true;
    Start();
    Remove();
    std::vector<std::string> lines = NewLines();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
              (std::vector<std::string>{"  Driver is found. Index=1",
                                        "  Can't delete driver. Trying to restart spooler",
                                        "  >Restart Spooler", "  OK :)"}));
    EXPECT_EQ(sim::M().spooler.stopsSeen, 1);
    EXPECT_EQ(sim::M().spooler.startsSeen, 1);
    EXPECT_EQ(sim::FindDriver(u"Kestrovane printer"), nullptr);
}

TEST_F(RemoveDriverTest, APrinterOnTheDriverIsErrorFourteen) {
    RegisterOurDriver();
    sim::AddPrinter(u"Kestrovane", u"Kestrovane printer", u"LPT1:");
    Start();
    Remove();
    EXPECT_EQ(NewLines().back(), "  Error(14): Can`t remove the printer-driver 'Kestrovane "
                                 "printer' - (The specified printer driver is currently in use.)");
    EXPECT_EQ(context.ErrorCount, 1);
    EXPECT_EQ(context.LogDepth, 0);
    EXPECT_NE(sim::FindDriver(u"Kestrovane printer"), nullptr);
}

TEST_F(RemoveDriverTest, NoDriversAndOnlyOthers) {
    Start();
    Remove();
    EXPECT_EQ(NewLines(),
              (std::vector<std::string>{">DeletePrinterDriver for Windows x64",
                                        "  BTW, there is no printer drivers on this system.",
                                        "  No Kestrovane driver was found"}));
    RegisterDriver(u"KESTROVANE PRINTER");
    Remove();
    EXPECT_EQ(NewLines().back(), "  No Kestrovane driver was found");
    EXPECT_EQ(sim::CallCount("DeletePrinterDriverExW"), 0);
}

// Not finding the driver in a list the spooler could not give proves nothing:
// the deletion is asked for all the same.
TEST_F(RemoveDriverTest, AListThatCouldNotBeReadStillRemovesTheDriver) {
    RegisterOurDriver();
    Start();
    sim::FailCall("EnumPrinterDriversW", RPC_S_SERVER_UNAVAILABLE,
                  sim::CallCount("EnumPrinterDriversW") + 1);
    Remove();
    EXPECT_EQ(NewLines(), (std::vector<std::string>{
                              ">DeletePrinterDriver for Windows x64",
                              "  BTW, there is no printer drivers on this system.", "  OK :)"}));
    EXPECT_EQ(sim::FindDriver(u"Kestrovane printer"), nullptr);
}
