#include "files/deferred_deletes.h"

#include "tests/support/test_machine.h"

namespace {

const sim::Text Dir = u"C:\\Windows\\system32\\spool\\drivers\\x64\\";

class DeferredTest : public MachineTest {
  protected:
    InstallContext context{};

    void TearDown() override {
        FreeContext(context);
        EXPECT_EQ(sim::LiveBlocks(), 0u);
        MachineTest::TearDown();
    }
    bool Defer(const sim::Text& path) { return DeferDelete(context.DeferredDeletes, path.c_str()); }
    std::vector<std::string> Listed() const {
        std::vector<std::string> paths;
        for (DeferredDelete* node = context.DeferredDeletes; node; node = node->next)
            paths.push_back(Ascii(node->path));
        return paths;
    }
    std::vector<uint8_t> PendingBytes() {
        sim::RegValue* v = sim::FindValue(sim::PendingRenamesKey, u"PendingFileRenameOperations");
        return v ? v->data : std::vector<uint8_t>();
    }
};

// UTF-16 LE bytes of each text followed by its terminator.
std::vector<uint8_t> Units(std::initializer_list<const char*> texts) {
    std::vector<uint8_t> out;
    for (const char* text : texts) {
        for (const char* c = text; *c; ++c) {
            out.push_back(static_cast<uint8_t>(*c));
            out.push_back(0);
        }
        out.push_back(0);
        out.push_back(0);
    }
    return out;
}

} // namespace

TEST_F(DeferredTest, EachPathIsListedOnceNewestFirst) {
    EXPECT_TRUE(Defer(Dir + u"a.dll"));
    EXPECT_TRUE(Defer(Dir + u"b.dll"));
    EXPECT_TRUE(Defer(Dir + u"a.dll"));
    EXPECT_TRUE(Defer(Dir + u"A.DLL")); // another text, so another entry
    EXPECT_EQ(Listed(), (std::vector<std::string>{Ascii(Dir + u"A.DLL"), Ascii(Dir + u"b.dll"),
                                                  Ascii(Dir + u"a.dll")}));
    EXPECT_EQ(sim::M().globalHeap.live.size(), 6u) << "a node and a text block per entry";
}

TEST_F(DeferredTest, NoPathIsNoEntry) {
    EXPECT_TRUE(DeferDelete(context.DeferredDeletes, nullptr));
    EXPECT_TRUE(DeferDelete(context.DeferredDeletes, W("")));
    EXPECT_EQ(context.DeferredDeletes, nullptr);
}

TEST_F(DeferredTest, EntryIsSkippedWithoutMemory) {
    EXPECT_TRUE(Defer(Dir + u"a.dll"));
    sim::FailCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, sim::CallCount("GlobalAlloc") + 1);
    EXPECT_FALSE(Defer(Dir + u"b.dll")); // no node
    sim::FailCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, sim::CallCount("GlobalAlloc") + 2);
    EXPECT_FALSE(Defer(Dir + u"c.dll")); // a node but no text
    EXPECT_EQ(Listed(), (std::vector<std::string>{Ascii(Dir + u"a.dll")}));
    EXPECT_EQ(sim::M().globalHeap.live.size(), 2u);
}

TEST_F(DeferredTest, RetryOnAnEmptyListOnlyLogs) {
    context.LogDepth = 1;
    RetryDeferredDeletes(context);
    EXPECT_EQ(LogText(context), "  DeleteFile-try\r\n");
    EXPECT_EQ(context.DeferredDeletes, nullptr);
    EXPECT_EQ(sim::CallCount("DeleteFileW"), 0);
}

TEST_F(DeferredTest, RetryKeepsWhatResistsInOrder) {
    sim::PutFile(Dir + u"loaded.dll").loadedBySpooler = true;
    sim::PutFile(Dir + u"free.dll");
    sim::PutFile(Dir + u"used.dll").loadedByProcess = true;
    sim::PutFile(Dir + u"open.dll");
    HANDLE reader = CreateFileW((Dir + u"open.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_TRUE(Defer(Dir + u"used.dll"));
    EXPECT_TRUE(Defer(Dir + u"open.dll"));
    EXPECT_TRUE(Defer(u"C:\\gone\\x.dll")); // its directory is missing
    EXPECT_TRUE(Defer(Dir + u"vanished.dll"));
    EXPECT_TRUE(Defer(Dir + u"free.dll"));
    EXPECT_TRUE(Defer(Dir + u"loaded.dll"));

    RetryDeferredDeletes(context);
    EXPECT_EQ(Listed(),
              (std::vector<std::string>{Ascii(Dir + u"loaded.dll"), "C:\\gone\\x.dll",
                                        Ascii(Dir + u"open.dll"), Ascii(Dir + u"used.dll")}));
    EXPECT_FALSE(sim::FileExists(Dir + u"free.dll"));
    EXPECT_EQ(LogLines(context), (std::vector<std::string>{"DeleteFile-try"}));
    EXPECT_EQ(context.ErrorCount, 0);

    // Once the spooler has let go and the reader closed, they go too.
    sim::OnSpoolerStopped();
    CloseHandle(reader);
    RetryDeferredDeletes(context);
    EXPECT_EQ(Listed(), (std::vector<std::string>{"C:\\gone\\x.dll", Ascii(Dir + u"used.dll")}));
    EXPECT_FALSE(sim::FileExists(Dir + u"loaded.dll"));
    EXPECT_FALSE(sim::FileExists(Dir + u"open.dll"));
}

TEST_F(DeferredTest, RetryLinksTheFirstToTheLastWhenTheMiddleGoes) {
    sim::PutFile(Dir + u"first.dll").loadedBySpooler = true;
    sim::PutFile(Dir + u"middle.dll");
    sim::PutFile(Dir + u"last.dll").loadedBySpooler = true;
    EXPECT_TRUE(Defer(Dir + u"last.dll"));
    EXPECT_TRUE(Defer(Dir + u"middle.dll"));
    EXPECT_TRUE(Defer(Dir + u"first.dll"));
    DeferredDelete* first = context.DeferredDeletes;
    DeferredDelete* last = first->next->next;

    RetryDeferredDeletes(context);
    EXPECT_EQ(context.DeferredDeletes, first);
    EXPECT_EQ(first->next, last);
    EXPECT_EQ(last->next, nullptr);
    EXPECT_EQ(sim::M().globalHeap.live.size(), 4u) << "the middle node and its text were freed";
}

TEST_F(DeferredTest, FileLockedThroughARestartStaysListed) {
    sim::File& f = sim::PutFile(Dir + u"a.dll");
    f.loadedBySpooler = f.lockedThroughRestart = true;
    EXPECT_TRUE(Defer(Dir + u"a.dll"));
    sim::OnSpoolerStopped();
    RetryDeferredDeletes(context);
    EXPECT_EQ(Listed(), (std::vector<std::string>{Ascii(Dir + u"a.dll")}));
}

TEST_F(DeferredTest, SchedulingOnAnEmptyListIsNothing) {
    EXPECT_EQ(ScheduleDeferredDeletes(context), 0u);
    EXPECT_EQ(sim::FindValue(sim::PendingRenamesKey, u"PendingFileRenameOperations"), nullptr);
}

TEST_F(DeferredTest, SchedulingAppendsToWhatOthersQueuedAndEmptiesTheList) {
    // Another program's rename is already waiting.
    std::vector<uint8_t> earlier = Units({"\\??\\C:\\tmp\\x", "!\\??\\C:\\y", ""});
    sim::SetValue(sim::PendingRenamesKey, u"PendingFileRenameOperations", REG_MULTI_SZ, earlier);
    sim::PutFile(Dir + u"b.dll").loadedBySpooler = true;
    EXPECT_TRUE(Defer(Dir + u"a.dll"));
    EXPECT_TRUE(Defer(Dir + u"b.dll"));
    EXPECT_TRUE(Defer(Dir + u"c.dll"));
    sim::FailCall("MoveFileExW", ERROR_ACCESS_DENIED, 2); // the system refuses b.dll

    EXPECT_EQ(ScheduleDeferredDeletes(context), 2u);
    EXPECT_EQ(context.DeferredDeletes, nullptr);
    EXPECT_EQ(sim::M().globalHeap.live.size(), 0u);
    EXPECT_EQ(LogLines(context),
              (std::vector<std::string>{"Error(18): Can`t delete " + Ascii(Dir) +
                                        "b.dll at restart - (Access is denied.)"}))
        << "only a refused one is logged: it stays for good";
    std::vector<uint8_t> expected = Units({"\\??\\C:\\tmp\\x", "!\\??\\C:\\y"});
    std::vector<uint8_t> ours =
        Units({"\\??\\C:\\Windows\\system32\\spool\\drivers\\x64\\c.dll", "",
               "\\??\\C:\\Windows\\system32\\spool\\drivers\\x64\\a.dll", "", ""});
    expected.insert(expected.end(), ours.begin(), ours.end());
    EXPECT_EQ(PendingBytes(), expected);
}

TEST_F(DeferredTest, RestartCarriesOutTheScheduledDeletions) {
    sim::PutFile(Dir + u"a.dll").loadedBySpooler = true;
    sim::File& b = sim::PutFile(Dir + u"b.dll");
    b.loadedBySpooler = b.lockedThroughRestart = true;
    sim::PutFile(Dir + u"keep.dll");
    EXPECT_TRUE(Defer(Dir + u"a.dll"));
    EXPECT_TRUE(Defer(Dir + u"b.dll"));
    RetryDeferredDeletes(context);
    ASSERT_EQ(ScheduleDeferredDeletes(context), 2u);

    sim::Reboot();
    EXPECT_FALSE(sim::FileExists(Dir + u"a.dll"));
    EXPECT_FALSE(sim::FileExists(Dir + u"b.dll"));
    EXPECT_TRUE(sim::FileExists(Dir + u"keep.dll"));
    EXPECT_EQ(sim::FindValue(sim::PendingRenamesKey, u"PendingFileRenameOperations"), nullptr);
}
