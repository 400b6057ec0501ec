#include "files/pending_renames.h"

#include "common/text.h"
#include "tests/support/test_machine.h"

#include <random>

namespace {

const sim::Text ValueName = u"PendingFileRenameOperations";

std::vector<uint8_t> Bytes(const sim::Text& units) {
    std::vector<uint8_t> out;
    for (char16_t c : units) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

// The value as the system writes it: each string and its terminator, then
// one more terminator.
std::vector<uint8_t> Value(std::initializer_list<sim::Text> strings) {
    sim::Text units;
    for (const sim::Text& s : strings)
        units += s + sim::Text(1, u'\0');
    return Bytes(units + sim::Text(1, u'\0'));
}

class PendingTest : public MachineTest {
  protected:
    PendingRenameTable table{nullptr, nullptr, 0, false};

    void SetUp() override {
        MachineTest::SetUp();
        sim::MakeDirectory(u"C:\\k");
        sim::MakeDirectory(u"C:\\k\\sub");
    }
    void TearDown() override {
        ReleasePendingRenames(table);
        EXPECT_EQ(sim::LiveBlocks(), 0u);
        EXPECT_EQ(sim::OpenHandles(sim::HandleKind::Key), 0u) << "the key is closed";
        MachineTest::TearDown();
    }
    void SetPending(const std::vector<uint8_t>& bytes) {
        sim::SetValue(sim::PendingRenamesKey, ValueName, REG_MULTI_SZ, bytes);
    }
    std::vector<uint8_t> Pending() {
        sim::RegValue* v = sim::FindValue(sim::PendingRenamesKey, ValueName);
        return v ? v->data : std::vector<uint8_t>();
    }
    // The entries as text ("-" for none) and the flags.
    std::vector<std::string> Entries() const {
        std::vector<std::string> out;
        for (int32_t i = 0; i < 2 * table.count; ++i)
            out.push_back(table.entries[i] ? Ascii(table.entries[i]) : "-");
        return out;
    }
    std::vector<int32_t> Flags() const {
        return std::vector<int32_t>(table.flags, table.flags + 2 * table.count);
    }
    // DeletePendingNow with the files these tests use as ours.
    void DeleteNow() {
        OwnFiles own{};
        for (const char16_t* name : {u"a.dll", u"b.dll", u"c.dll", u"d.dll", u"e.dll",
                                     u"renamed.dll", u"loaded.dll", u"odd.dll", u"sub"})
            AddOwnFile(own, u"C:\\k\\", nullptr, name);
        DeletePendingNow(table, own);
        ReleaseOwnFiles(own);
    }
    void ExpectEmpty() {
        EXPECT_EQ(table.count, 0);
        EXPECT_EQ(table.entries, nullptr);
        EXPECT_EQ(table.flags, nullptr);
    }
};

} // namespace

TEST_F(PendingTest, OneQueuedDeletionIsCarriedOutNow) {
    sim::PutFile(u"C:\\k\\a.dll");
    SetPending(Value({u"\\??\\C:\\k\\a.dll", u""}));
    std::vector<uint8_t> before = Pending();

    ReadPendingRenames(table);
    EXPECT_EQ(Entries(), (std::vector<std::string>{"\\??\\C:\\k\\a.dll", "-"}));
    EXPECT_EQ(Flags(), (std::vector<int32_t>{1, 0}));
    EXPECT_EQ(sim::M().globalHeap.live.size(), 3u) << "two arrays and one text; the buffer is gone";

    DeleteNow();
    EXPECT_FALSE(sim::FileExists(u"C:\\k\\a.dll"));
    EXPECT_EQ(Flags(), (std::vector<int32_t>{0, 0}));
    EXPECT_EQ(Pending(), before) << "the registry value is only read";
}

TEST_F(PendingTest, EveryOperationIsExaminedTheLastIncluded) {
    for (const char16_t* name : {u"C:\\k\\a.dll", u"C:\\k\\b.dll", u"C:\\k\\c.dll"})
        sim::PutFile(name);
    SetPending(Value(
        {u"\\??\\C:\\k\\a.dll", u"", u"\\??\\C:\\k\\b.dll", u"", u"\\??\\C:\\k\\c.dll", u""}));
    ReadPendingRenames(table);
    ASSERT_EQ(table.count, 3);
    DeleteNow();
    EXPECT_FALSE(sim::FileExists(u"C:\\k\\a.dll"));
    EXPECT_FALSE(sim::FileExists(u"C:\\k\\b.dll"));
    EXPECT_FALSE(sim::FileExists(u"C:\\k\\c.dll"));
    EXPECT_EQ(Flags(), (std::vector<int32_t>{0, 0, 0, 0, 0, 0}));
}

// Another program's deletion waits for the restart, and so does a file of
// ours that a later operation replaces: its program needs it until then.
TEST_F(PendingTest, OnlyOwnFilesGoAndNoneThatALaterRenameReplaces) {
    for (const char16_t* name :
         {u"C:\\k\\a.dll", u"C:\\k\\b.dll", u"C:\\k\\b.new", u"C:\\k\\foreign.dll"})
        sim::PutFile(name);
    SetPending(Value({u"\\??\\C:\\k\\a.dll", u"", u"\\??\\C:\\k\\foreign.dll", u"",
                      u"\\??\\C:\\k\\b.dll", u"", u"\\??\\C:\\k\\b.new", u"!\\??\\C:\\K\\B.DLL"}));
    ReadPendingRenames(table);
    DeleteNow();
    EXPECT_FALSE(sim::FileExists(u"C:\\k\\a.dll"));
    EXPECT_TRUE(sim::FileExists(u"C:\\k\\foreign.dll"));
    EXPECT_TRUE(sim::FileExists(u"C:\\k\\b.dll"));
    EXPECT_EQ(Flags(), (std::vector<int32_t>{0, 0, 1, 0, 1, 0, 1, 0}));
}

TEST_F(PendingTest, OnlyDeletionsOfExistingFilesAreActedOn) {
    sim::PutFile(u"C:\\k\\renamed.dll");
    sim::PutFile(u"C:\\k\\loaded.dll").loadedBySpooler = true;
    SetPending(Value({u"\\??\\C:\\k\\renamed.dll", u"\\??\\C:\\k\\new.dll", // a rename
                      u"\\??\\C:\\k\\sub", u"",                             // a directory
                      u"\\??\\C:\\k\\vanished.dll", u"",                    // no longer there
                      u"\\??\\C:\\k\\loaded.dll", u"",                      // cannot go yet
                      u"\\??\\C:\\k\\odd.dll"}));                           // has no partner
    sim::PutFile(u"C:\\k\\odd.dll");

    ReadPendingRenames(table);
    EXPECT_EQ(table.count, 4) << "complete pairs only";
    EXPECT_EQ(Flags(), (std::vector<int32_t>{1, 0, 0, 0, 0, 0, 1, 0}));
    DeleteNow();
    EXPECT_TRUE(sim::FileExists(u"C:\\k\\renamed.dll"));
    EXPECT_NE(sim::FindFile(u"C:\\k\\sub"), nullptr);
    EXPECT_TRUE(sim::FileExists(u"C:\\k\\loaded.dll"));
    EXPECT_TRUE(sim::FileExists(u"C:\\k\\odd.dll"));
    EXPECT_EQ(Flags(), (std::vector<int32_t>{1, 0, 0, 0, 0, 0, 1, 0}))
        << "a file still waiting for the restart keeps its flag";
}

TEST_F(PendingTest, PrefixIsDroppedOnlyWhenAllFourUnitsMatch) {
    for (const char16_t* name :
         {u"C:\\k\\a.dll", u"C:\\k\\b.dll", u"C:\\k\\c.dll", u"C:\\k\\d.dll", u"C:\\k\\e.dll"})
        sim::PutFile(name);
    SetPending(Value({u"\\??\\C:\\k\\a.dll", u"", u"C:\\k\\b.dll",
                      u"", // no prefix: its own text names the file
                      u"\\??C:\\k\\c.dll", u"", u"/??\\C:\\k\\d.dll", u"", u"\\?", u"",
                      // the Win32 long-path prefix is no "\??\": the file exists, but
                      // its text is no path of ours
                      u"\\\\?\\C:\\k\\e.dll", u""}));
    ReadPendingRenames(table);
    EXPECT_EQ(Entries()[4], "\\??C:\\k\\c.dll") << "entries keep the text as stored";
    EXPECT_EQ(Flags(), (std::vector<int32_t>{1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0}));
    DeleteNow();
    EXPECT_FALSE(sim::FileExists(u"C:\\k\\a.dll"));
    EXPECT_FALSE(sim::FileExists(u"C:\\k\\b.dll"));
    EXPECT_TRUE(sim::FileExists(u"C:\\k\\c.dll"));
    EXPECT_TRUE(sim::FileExists(u"C:\\k\\d.dll"));
    EXPECT_TRUE(sim::FileExists(u"C:\\k\\e.dll"));
}

TEST_F(PendingTest, EmptyStringMidValueTakesOneEntry) {
    sim::PutFile(u"C:\\k\\a.dll");
    sim::PutFile(u"C:\\k\\b.dll");
    sim::PutFile(u"C:\\k\\c.dll");
    SetPending(Value(
        {u"\\??\\C:\\k\\a.dll", u"", u"", u"\\??\\C:\\k\\b.dll", u"\\??\\C:\\k\\c.dll", u""}));
    ReadPendingRenames(table);
    EXPECT_EQ(Entries(),
              (std::vector<std::string>{"\\??\\C:\\k\\a.dll", "-", "-", "\\??\\C:\\k\\b.dll",
                                        "\\??\\C:\\k\\c.dll", "-"}));
    EXPECT_EQ(Flags(), (std::vector<int32_t>{1, 0, 0, 1, 1, 0}));
    DeleteNow();
    EXPECT_FALSE(sim::FileExists(u"C:\\k\\a.dll"));
    EXPECT_TRUE(sim::FileExists(u"C:\\k\\b.dll")) << "a target is never deleted";
    EXPECT_FALSE(sim::FileExists(u"C:\\k\\c.dll"));
}

TEST_F(PendingTest, LastStringWithoutTerminatorEndsAtTheValuesEnd) {
    sim::PutFile(u"C:\\k\\a.dll");
    // Neither the last string's terminator nor the final one; then the same
    // with a stray odd byte behind it.
    std::vector<uint8_t> bytes =
        Bytes(sim::Text(u"\\??\\C:\\k\\a.dll") + sim::Text(1, u'\0') + u"\\??\\C:\\k\\b.dll");
    for (int odd = 0; odd < 2; ++odd) {
        if (odd)
            bytes.push_back('x');
        SetPending(bytes);
        ReadPendingRenames(table);
        EXPECT_EQ(Entries(),
                  (std::vector<std::string>{"\\??\\C:\\k\\a.dll", "\\??\\C:\\k\\b.dll"}));
        DeleteNow();
        EXPECT_TRUE(sim::FileExists(u"C:\\k\\a.dll")) << "a rename, not a deletion";
        ReleasePendingRenames(table);
    }
}

TEST_F(PendingTest, NothingToReadGivesAnEmptyTable) {
    // Sizes 0 to 3 hold no string: the first code unit is the final terminator.
    for (size_t size = 0; size < 4; ++size) {
        SetPending(std::vector<uint8_t>(size, 'a'));
        ReadPendingRenames(table);
        ExpectEmpty();
    }
    SetPending(Value({}));
    ReadPendingRenames(table);
    ExpectEmpty();

    sim::FindKey(sim::PendingRenamesKey)->values.clear();
    ReadPendingRenames(table);
    ExpectEmpty();

    sim::M().keys.erase(sim::Upper(sim::PendingRenamesKey));
    ReadPendingRenames(table);
    ExpectEmpty();
}

TEST_F(PendingTest, RegistryFailuresGiveAnEmptyTable) {
    sim::PutFile(u"C:\\k\\a.dll");
    SetPending(Value({u"\\??\\C:\\k\\a.dll", u""}));
    // Opening the key, asking for the size, reading the value.
    const struct {
        const char* call;
        int nth;
    } faults[] = {{"RegOpenKeyExA", 1}, {"RegQueryValueExW", 1}, {"RegQueryValueExW", 2}};
    for (const auto& f : faults) {
        sim::M().faults.clear();
        sim::FailCall(f.call, ERROR_ACCESS_DENIED, sim::CallCount(f.call) + f.nth);
        ReadPendingRenames(table);
        ExpectEmpty();
    }
    EXPECT_TRUE(sim::FileExists(u"C:\\k\\a.dll"));
}

TEST_F(PendingTest, ValueThatGrowsBetweenTheQueriesIsNotReadBeyondItsBuffer) {
    sim::PutFile(u"C:\\k\\a.dll");
    SetPending(Value({u"\\??\\C:\\k\\a.dll", u""}));
    int reads = sim::CallCount("RegQueryValueExW");
    // Another installer queues a file between the size query and the read.
    sim::M().onCall = [this, reads](const std::string& call, int n) {
        if (call == "RegQueryValueExW" && n == reads + 2)
            SetPending(Value({u"\\??\\C:\\k\\a.dll", u"", u"\\??\\C:\\k\\longer-name.dll", u""}));
    };
    ReadPendingRenames(table);
    ExpectEmpty();

    // One that shrinks is read as it now is.
    reads = sim::CallCount("RegQueryValueExW");
    sim::M().onCall = [this, reads](const std::string& call, int n) {
        if (call == "RegQueryValueExW" && n == reads + 2)
            SetPending(Value({u"\\??\\C:\\k\\a.dll", u""}));
    };
    ReadPendingRenames(table);
    EXPECT_EQ(Entries(), (std::vector<std::string>{"\\??\\C:\\k\\a.dll", "-"}));
}

TEST_F(PendingTest, AnyAllocationFailureLeavesTheTableEmpty) {
    sim::PutFile(u"C:\\k\\a.dll");
    sim::PutFile(u"C:\\k\\b.dll");
    // A rename whose target text could not be kept would look like a deletion.
    SetPending(Value({u"\\??\\C:\\k\\a.dll", u"\\??\\C:\\k\\z.dll", u"\\??\\C:\\k\\b.dll", u""}));
    // Allocations: the buffer, the two arrays, then three texts.
    for (int nth = 1; nth <= 6; ++nth) {
        sim::M().faults.clear();
        sim::FailCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, sim::CallCount("GlobalAlloc") + nth);
        ReadPendingRenames(table);
        ExpectEmpty();
        EXPECT_EQ(sim::LiveBlocks(), 0u) << "allocation " << nth;
        DeleteNow();
    }
    EXPECT_TRUE(sim::FileExists(u"C:\\k\\a.dll"));
    EXPECT_TRUE(sim::FileExists(u"C:\\k\\b.dll"));

    sim::M().faults.clear();
    ReadPendingRenames(table);
    EXPECT_EQ(table.count, 2);
}

// Arbitrary bytes, odd lengths included: the table never reaches beyond the
// value (AddressSanitizer watches the exact-size buffer), holds the value's
// strings in order, and releases completely.
TEST_F(PendingTest, ArbitraryValuesAreReadSafely) {
    sim::PutFile(u"C:\\k\\a");
    sim::PutFile(u"a");
    std::mt19937 random(2501);
    const char16_t alphabet[] = {0, 0, 0, u'\\', u'?', u'C', u':', u'k', u'a', 0x00E9, 0xD800};
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> bytes;
        if (round % 3 == 0) { // raw bytes
            size_t n = random() % 40;
            for (size_t i = 0; i < n; ++i)
                bytes.push_back(static_cast<uint8_t>(random() % 4 == 0 ? 0 : random()));
        } else { // units drawn from path-like pieces
            size_t n = random() % 30;
            sim::Text units;
            for (size_t i = 0; i < n; ++i)
                units += round % 3 == 1 && random() % 5 == 0
                             ? sim::Text(u"\\??\\C:\\k\\a")
                             : sim::Text(1, alphabet[random() % (sizeof alphabet / 2)]);
            bytes = Bytes(units);
            if (random() % 2)
                bytes.push_back(static_cast<uint8_t>(random()));
        }
        SetPending(bytes);
        ReadPendingRenames(table);

        // The strings as this value holds them: whole units before the final
        // terminator, the last one ending at the value's end.
        std::vector<sim::Text> strings;
        int64_t units = static_cast<int64_t>(bytes.size() / 2);
        int64_t limit = (static_cast<int64_t>(bytes.size()) - 2) / 2;
        for (int64_t p = 0; p < limit;) {
            sim::Text s;
            while (p < units && (bytes[2 * p] | bytes[2 * p + 1]))
                s.push_back(static_cast<char16_t>(bytes[2 * p] | bytes[2 * p + 1] << 8)), ++p;
            strings.push_back(s);
            ++p;
        }
        ASSERT_EQ(table.count, static_cast<int32_t>(strings.size() / 2)) << round;
        ASSERT_EQ(table.entries == nullptr, table.count == 0);
        for (int32_t i = 0; i < 2 * table.count; ++i) {
            if (strings[i].empty()) {
                EXPECT_EQ(table.entries[i], nullptr);
                EXPECT_EQ(table.flags[i], 0);
                continue;
            }
            ASSERT_NE(table.entries[i], nullptr);
            EXPECT_EQ(sim::Text(table.entries[i]), strings[i]) << round << " entry " << i;
            EXPECT_EQ(sim::M().globalHeap.live.at(table.entries[i]), (strings[i].size() + 1) * 2);
            sim::Text name =
                strings[i].compare(0, 4, u"\\??\\") ? strings[i] : strings[i].substr(4);
            DWORD attributes = GetFileAttributesW(name.c_str());
            EXPECT_EQ(table.flags[i], attributes != INVALID_FILE_ATTRIBUTES &&
                                          !(attributes & FILE_ATTRIBUTE_DIRECTORY))
                << round << " entry " << i;
        }
        ReleasePendingRenames(table);
        EXPECT_EQ(sim::LiveBlocks(), 0u) << round;
    }
}
