#include "spooler/printer_inventory.h"

#include "common/text.h"
#include "tests/support/test_machine.h"

namespace {

const DWORD EnumFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;

class InventoryTest : public MachineTest {
  protected:
    PrinterInventory inventory{nullptr, 0, 0};

    void TearDown() override {
        ReleaseInventory(inventory);
        EXPECT_EQ(sim::LiveBlocks(), 0u);
        MachineTest::TearDown();
    }
    void AddThree() {
        sim::AddPrinter(u"Office", u"Vendor PCL", u"LPT1:").comment = u"second floor";
        sim::AddPrinter(u"Kestrovane", u"Kestrovane printer", u"Kestrovane:");
        sim::AddPrinter(u"\\\\srv\\Laser", u"Vendor PCL", u"LPT2:");
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (uint32_t i = 0; i < inventory.count; ++i)
            names.push_back(Ascii(inventory.entries[i].pPrinterName));
        return names;
    }
    // The names of the entries that carry the default mark.
    std::vector<std::string> Marked() const {
        std::vector<std::string> names;
        for (uint32_t i = 0; i < inventory.count; ++i)
            if (inventory.entries[i].Attributes & PRINTER_ATTRIBUTE_DEFAULT)
                names.push_back(Ascii(inventory.entries[i].pPrinterName));
        return names;
    }
    void ExpectEmpty() {
        EXPECT_EQ(inventory.entries, nullptr);
        EXPECT_EQ(inventory.count, 0u);
    }
    HANDLE Open(const char16_t* name, DWORD access) {
        PRINTER_DEFAULTSW defaults = {nullptr, nullptr, access};
        HANDLE printer = nullptr;
        EXPECT_TRUE(OpenPrinterW(const_cast<LPWSTR>(name), &printer, &defaults));
        return printer;
    }
};

} // namespace

TEST_F(InventoryTest, MachineWithoutPrinters) {
    sim::M().defaultPrinter = u"Gone";
    MarkDefaultPrinter(inventory);
    ExpectEmpty();
    EXPECT_EQ(sim::CallCount("EnumPrintersW"), 1) << "the first call already succeeds";
    EXPECT_EQ(sim::CallCount("GlobalAlloc"), 0);
}

TEST_F(InventoryTest, LocalQueuesAndConnectionsWithTheDefaultMarked) {
    AddThree();
    sim::M().defaultPrinter = u"Office";
    MarkDefaultPrinter(inventory);
    EXPECT_EQ(Names(), (std::vector<std::string>{"Office", "Kestrovane", "\\\\srv\\Laser"}));
    EXPECT_EQ(Marked(), (std::vector<std::string>{"Office"}));
    EXPECT_EQ(Ascii(inventory.entries[0].pComment), "second floor");
    EXPECT_EQ(Ascii(inventory.entries[2].pServerName), "\\\\srv");
    EXPECT_EQ(inventory.entries[0].Attributes,
              DWORD(PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_DEFAULT));
}

// Windows keeps the default in the spelling it was set in, and the spooler
// names a printer in any letter case.
TEST_F(InventoryTest, DefaultIsMatchedAsTheSpoolerComparesNames) {
    AddThree();
    sim::AddPrinter(u"B\u00fcro", u"Vendor PCL", u"LPT3:");
    const struct {
        const char16_t* defaultPrinter;
        std::vector<std::string> marked;
    } cases[] = {
        {u"", {}},                               // no default printer at all
        {u"Office", {"Office"}},                 // as the queue is spelt
        {u"office", {"Office"}},                 // in other letters
        {u"Office ", {}},                        // every other code unit counts
        {u"\\\\srv\\Laser", {"\\\\srv\\Laser"}}, // a connection
        {u"\\\\SRV\\laser", {"\\\\srv\\Laser"}}, // the server in other letters
        {u"B\u00dcRO", {"B?ro"}},                // beyond ASCII too
    };
    for (const auto& c : cases) {
        sim::M().defaultPrinter = c.defaultPrinter;
        MarkDefaultPrinter(inventory);
        EXPECT_EQ(Marked(), c.marked) << Ascii(c.defaultPrinter);
        EXPECT_EQ(inventory.count, 4u);
    }
    EXPECT_EQ(inventory.entries[1].Attributes, DWORD(PRINTER_ATTRIBUTE_LOCAL))
        << "unmarked entries keep what the spooler reported";
}

// A name longer than the first buffer is asked for again: a default left
// unmarked would not be the default after a reinstall.
TEST_F(InventoryTest, DefaultNameOfAnyLengthIsMarked) {
    sim::Text longest(259, u'p');
    sim::AddPrinter(longest, u"Vendor PCL", u"LPT1:");
    sim::AddPrinter(longest + u"q", u"Vendor PCL", u"LPT1:");
    for (const sim::Text& name : {longest, longest + u"q"}) {
        sim::M().defaultPrinter = name;
        MarkDefaultPrinter(inventory);
        ASSERT_EQ(Marked().size(), 1u);
        EXPECT_EQ(Marked()[0], Ascii(name));
    }
}

TEST_F(InventoryTest, BlockHas32ZeroBytesTheSpoolerIsNotToldOf) {
    AddThree();
    DWORD needed = 0, returned = 0;
    EnumPrintersW(EnumFlags, nullptr, 2, nullptr, 0, &needed, &returned);
    TakeInventory(inventory);
    ASSERT_EQ(inventory.count, 3u);
    ASSERT_EQ(sim::M().globalHeap.live.at(inventory.entries), needed + 32u);
    const uint8_t* block = reinterpret_cast<const uint8_t*>(inventory.entries);
    for (DWORD i = needed; i < needed + 32; ++i)
        EXPECT_EQ(block[i], 0) << i;

    // Had the spooler been offered the spare bytes, a comment that grows by
    // a few between the two calls would still fit.
    int first = sim::CallCount("EnumPrintersW") + 1;
    sim::M().afterEnumPrinters = [first](int call) {
        if (call == first)
            sim::FindPrinter(u"Kestrovane")->comment = u"abc";
    };
    TakeInventory(inventory);
    ExpectEmpty();
}

TEST_F(InventoryTest, PrinterAddedBetweenTheTwoCallsLeavesItEmpty) {
    AddThree();
    sim::M().afterEnumPrinters = [](int call) {
        if (call == 1)
            sim::AddPrinter(u"Newcomer", u"Vendor PCL", u"LPT3:");
    };
    MarkDefaultPrinter(inventory);
    ExpectEmpty();
    EXPECT_EQ(sim::CallCount("EnumPrintersW"), 2);
}

TEST_F(InventoryTest, PrinterRemovedBetweenTheTwoCallsIsMissing) {
    AddThree();
    sim::M().afterEnumPrinters = [](int call) {
        if (call == 1)
            sim::M().printers.erase(sim::M().printers.begin());
    };
    TakeInventory(inventory);
    EXPECT_EQ(Names(), (std::vector<std::string>{"Kestrovane", "\\\\srv\\Laser"}));
}

TEST_F(InventoryTest, FailuresLeaveItEmpty) {
    AddThree();
    const struct {
        const char* call;
        int nth;
    } faults[] = {{"EnumPrintersW", 1}, {"GlobalAlloc", 1}, {"EnumPrintersW", 2}};
    for (const auto& f : faults) {
        sim::M().faults.clear();
        sim::FailCall(f.call, RPC_S_CALL_FAILED, sim::CallCount(f.call) + f.nth);
        TakeInventory(inventory);
        ExpectEmpty();
        EXPECT_EQ(sim::LiveBlocks(), 0u) << f.call << " " << f.nth;
    }
    sim::M().faults.clear();
    sim::M().spooler.state = SERVICE_STOPPED;
    TakeInventory(inventory);
    ExpectEmpty();
}

TEST_F(InventoryTest, TakingAgainReplacesTheBlock) {
    AddThree();
    TakeInventory(inventory);
    TakeInventory(inventory);
    EXPECT_EQ(inventory.count, 3u);
    EXPECT_EQ(sim::M().globalHeap.live.size(), 1u);
}

TEST_F(InventoryTest, ReleaseIsHarmlessWhenEmptyOrRepeated) {
    ReleaseInventory(inventory);
    AddThree();
    TakeInventory(inventory);
    ReleaseInventory(inventory);
    ReleaseInventory(inventory);
    ExpectEmpty();
    EXPECT_EQ(sim::BadFrees(), 0);
}

TEST_F(InventoryTest, ReadPrinterInfoDescribesOnePrinter) {
    AddThree();
    HANDLE printer = Open(u"Office", PRINTER_ACCESS_USE);
    PrinterInfoBlock block = ReadPrinterInfo(printer);
    ASSERT_NE(block.info, nullptr);
    EXPECT_EQ(Ascii(block.info->pPrinterName), "Office");
    EXPECT_EQ(Ascii(block.info->pPortName), "LPT1:");
    EXPECT_EQ(sim::M().globalHeap.live.at(block.info), block.needed) << "no spare bytes here";
    GlobalFree(block.info);

    // An invalid handle, no memory, a second call that fails: no description.
    PrinterInfoBlock none = ReadPrinterInfo(reinterpret_cast<HANDLE>(0x77));
    EXPECT_EQ(none.info, nullptr);
    sim::FailCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, sim::CallCount("GlobalAlloc") + 1);
    EXPECT_EQ(ReadPrinterInfo(printer).info, nullptr);
    sim::FailCall("GetPrinterW", RPC_S_CALL_FAILED, sim::CallCount("GetPrinterW") + 2);
    EXPECT_EQ(ReadPrinterInfo(printer).info, nullptr);
    EXPECT_EQ(sim::LiveBlocks(), 0u);
    EXPECT_TRUE(ClosePrinterHandle(printer));
}

TEST_F(InventoryTest, PurgeAndDeleteDeletesEvenWhenThePurgeFails) {
    sim::AddPrinter(u"Kestrovane", u"Kestrovane printer", u"Kestrovane:").jobs = 2;
    HANDLE printer = Open(u"Kestrovane", DELETE | PRINTER_ACCESS_ADMINISTER);
    sim::FailCall("SetPrinterW", ERROR_INVALID_LEVEL); // as Wine answers the purge
    EXPECT_TRUE(PurgeAndDeletePrinter(printer));
    EXPECT_EQ(sim::CallCount("DeletePrinter"), 1);
    // Its jobs still there, the queue is only marked for deletion.
    TakeInventory(inventory);
    ExpectEmpty();
    EXPECT_TRUE(ClosePrinterHandle(printer)) << "the wrapper leaves the handle open";
    EXPECT_FALSE(ClosePrinterHandle(printer));
}

TEST_F(InventoryTest, PurgeAndDeleteRemovesAQueueWithJobs) {
    sim::AddPrinter(u"Kestrovane", u"Kestrovane printer", u"Kestrovane:").jobs = 2;
    HANDLE printer = Open(u"Kestrovane", DELETE | PRINTER_ACCESS_ADMINISTER);
    EXPECT_TRUE(PurgeAndDeletePrinter(printer));
    EXPECT_EQ(sim::FindPrinter(u"Kestrovane"), nullptr);
    ClosePrinterHandle(printer);

    // Only DeletePrinter's answer counts: without DELETE access it is FALSE.
    sim::AddPrinter(u"Kestrovane", u"Kestrovane printer", u"Kestrovane:");
    printer = Open(u"Kestrovane", PRINTER_ACCESS_ADMINISTER);
    EXPECT_FALSE(PurgeAndDeletePrinter(printer));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_NE(sim::FindPrinter(u"Kestrovane"), nullptr);
    ClosePrinterHandle(printer);
}

TEST_F(InventoryTest, AddPrinterLevel2RecreatesADeletedEntry) {
    sim::Driver driver;
    driver.name = u"Kestrovane printer";
    driver.environment = u"Windows x64";
    sim::M().drivers.push_back(driver);
    sim::Monitor monitor;
    monitor.name = u"Kestrovane:";
    monitor.environment = u"Windows x64";
    monitor.dll = u"ksvmon64.dll";
    sim::M().monitors.push_back(monitor);
    sim::AddPrinter(u"Kestrovane", u"Kestrovane printer", u"Kestrovane:").comment = u"ours";
    TakeInventory(inventory);
    HANDLE printer = Open(u"Kestrovane", DELETE | PRINTER_ACCESS_ADMINISTER);
    ASSERT_TRUE(PurgeAndDeletePrinter(printer));
    ClosePrinterHandle(printer);

    HANDLE again = AddPrinterLevel2(&inventory.entries[0]);
    ASSERT_NE(again, nullptr);
    ASSERT_NE(sim::FindPrinter(u"Kestrovane"), nullptr);
    EXPECT_EQ(Ascii(sim::FindPrinter(u"Kestrovane")->comment), "ours");
    EXPECT_EQ(AddPrinterLevel2(&inventory.entries[0]), nullptr) << "it exists now";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PRINTER_ALREADY_EXISTS));
    ClosePrinterHandle(again);
}
