#include "files/component_copy.h"

#include "common/text.h"
#include "files/deferred_deletes.h"
#include "tests/support/test_machine.h"

#include <cstring>

namespace {

const sim::Text SetupDir = u"C:\\Program Files\\Kestrovane\\setup";
const sim::Text System32 = u"C:\\Windows\\system32";
const sim::Text Target = u"C:\\Windows\\system32\\ksvmon64.dll";

std::string Bytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + i % 23);
    return s;
}

// Every copy ends with both files closed and nothing left on the heaps.
class CopyTest : public MachineTest {
  protected:
    InstallContext context{};
    WCHAR destination[ComponentPathCapacity];

    void SetUp() override {
        MachineTest::SetUp();
        EXPECT_TRUE(Assign(context.ModuleDir, (SetupDir + u"\\").c_str()));
        std::memset(destination, 0x55, sizeof destination);
    }
    void TearDown() override {
        EXPECT_EQ(sim::OpenHandles(sim::HandleKind::File), 0u) << "both files are closed";
        FreeContext(context);
        EXPECT_EQ(sim::LiveBlocks(), 0u);
        MachineTest::TearDown();
    }
    HRESULT Copy(const sim::Text& directory, bool report, const WCHAR* file = W("ksvmon64.dll")) {
        return CopyComponent(context, directory.c_str(), file, destination, report);
    }
    void PutSource(const std::string& content) {
        sim::PutFile(SetupDir + u"\\ksvmon64.dll", content);
    }
};

} // namespace

TEST_F(CopyTest, CopiesWholeFilesInChunksOf8192) {
    // A read may hand out less than asked for (readLimit): the size says when
    // the source has ended, not a short read.
    const struct {
        size_t size;
        DWORD readLimit;
        int reads, writes;
    } cases[] = {{0, 0, 0, 0},    {1, 0, 1, 1},     {8191, 0, 1, 1},     {8192, 0, 1, 1},
                 {8193, 0, 2, 2}, {20000, 0, 3, 3}, {20000, 5000, 4, 4}, {8192, 8191, 2, 2}};
    for (const auto& c : cases) {
        PutSource(Bytes(c.size));
        sim::FindFile(SetupDir + u"\\ksvmon64.dll")->readLimit = c.readLimit;
        int reads = sim::CallCount("ReadFile"), writes = sim::CallCount("WriteFile");
        EXPECT_EQ(Copy(System32, true), S_OK) << c.size;
        EXPECT_EQ(sim::CallCount("ReadFile") - reads, c.reads) << c.size;
        EXPECT_EQ(sim::CallCount("WriteFile") - writes, c.writes) << c.size;
        ASSERT_TRUE(sim::FileExists(Target)) << c.size;
        EXPECT_EQ(sim::FileContent(Target), Bytes(c.size));
    }
    EXPECT_EQ(context.ErrorCount, 0);
}

TEST_F(CopyTest, LogBlockSitsAtTheCallersDepth) {
    PutSource("monitor");
    context.LogDepth = 2;
    EXPECT_EQ(Copy(System32 + u"\\", false), S_OK);
    EXPECT_EQ(context.LogDepth, 2);
    EXPECT_EQ(LogLines(context), (std::vector<std::string>{
                                     "    >CopyFile ksvmon64.dll to C:\\Windows\\system32\\ [0])",
                                     "      Copy Succeeded :)",
                                 }));
    EXPECT_EQ(Ascii(destination), Ascii(Target));
}

TEST_F(CopyTest, OnlyABackslashCountsAsTheSeparator) {
    PutSource("x");
    sim::MakeDirectory(u"C:\\dst");
    const struct {
        const char16_t* moduleDir;
        const char16_t* directory;
        const char* destination;
    } cases[] = {
        {u"C:\\Program Files\\Kestrovane\\setup\\", u"C:\\dst", "C:\\dst\\ksvmon64.dll"},
        {u"C:\\Program Files\\Kestrovane\\setup", u"C:\\dst\\", "C:\\dst\\ksvmon64.dll"},
        // A slash is no separator here: a backslash still goes behind it.
        {u"C:\\Program Files\\Kestrovane\\setup/", u"C:\\dst/", "C:\\dst/\\ksvmon64.dll"},
    };
    for (const auto& c : cases) {
        Release(context.ModuleDir);
        EXPECT_TRUE(Assign(context.ModuleDir, c.moduleDir));
        sim::M().files.erase(sim::Upper(u"C:\\dst\\ksvmon64.dll"));
        EXPECT_EQ(Copy(c.directory, true), S_OK) << c.destination;
        EXPECT_EQ(Ascii(destination), c.destination);
        EXPECT_EQ(sim::FileContent(u"C:\\dst\\ksvmon64.dll"), "x") << c.destination;
    }
    EXPECT_EQ(context.ErrorCount, 0);
}

// No directory makes no path: nothing is read from or written to whatever
// directory the process happens to run in.
TEST_F(CopyTest, EmptyDirectoriesAreRefused) {
    PutSource("x");
    EXPECT_EQ(Copy(u"", true), E_FAIL);
    EXPECT_EQ(Ascii(destination), "");
    EXPECT_FALSE(sim::FileExists(u"ksvmon64.dll"));
    EXPECT_EQ(LogLines(context)[LogLines(context).size() - 2],
              "  Error(9): Cant't open destination file: ksvmon64.dll - (The system cannot find "
              "the path specified.)");

    Release(context.ModuleDir);
    EXPECT_EQ(Copy(System32, true), E_FAIL);
    EXPECT_EQ(LogLines(context).back(), "  Copy Failed :(");
    EXPECT_EQ(LogLines(context)[LogLines(context).size() - 2],
              "  Error(10): Cant't open source file: ksvmon64.dll - (The system cannot find the "
              "path specified.)");
    EXPECT_EQ(sim::CallCount("CreateFileW"), 0);
    EXPECT_EQ(context.ErrorCount, 2);
}

TEST_F(CopyTest, MissingSourceIsAnErrorOnlyWhenReporting) {
    EXPECT_EQ(Copy(System32, false), E_FAIL);
    EXPECT_EQ(context.ErrorCount, 0);
    EXPECT_EQ(Ascii(destination), Ascii(Target)) << "the path comes back whatever happens";
    EXPECT_EQ(LogLines(context), (std::vector<std::string>{
                                     ">CopyFile ksvmon64.dll to C:\\Windows\\system32 [0])",
                                     "  Copy Failed :(",
                                 }));

    Release(context.LogText);
    std::memset(destination, 0x55, sizeof destination);
    EXPECT_EQ(Copy(System32, true), E_FAIL);
    EXPECT_EQ(context.ErrorCount, 1);
    EXPECT_EQ(Ascii(destination), Ascii(Target));
    EXPECT_EQ(LogLines(context),
              (std::vector<std::string>{
                  ">CopyFile ksvmon64.dll to C:\\Windows\\system32 [1])",
                  "  Error(10): Cant't open source file: ksvmon64.dll - (The system cannot find "
                  "the file specified.)",
                  "  Copy Failed :(",
              }));
    EXPECT_FALSE(sim::FileExists(Target)) << "no destination without a source";
}

TEST_F(CopyTest, WorksWithoutADestinationBuffer) {
    PutSource("abc");
    EXPECT_EQ(CopyComponent(context, System32.c_str(), W("ksvmon64.dll"), nullptr, true), S_OK);
    EXPECT_EQ(sim::FileContent(Target), "abc");
}

TEST_F(CopyTest, ExistingDestinationIsTruncated) {
    PutSource("new");
    sim::PutFile(Target, Bytes(30000), 2400);
    EXPECT_EQ(Copy(System32, true), S_OK);
    EXPECT_EQ(sim::FileContent(Target), "new");
    EXPECT_EQ(sim::ProductBuild(*sim::FindFile(Target)), -1) << "a new file, not the old one";
}

TEST_F(CopyTest, LockedDestinationIsRetriedEvery50ms) {
    PutSource("abc");
    sim::File& held = sim::PutFile(Target, "old");
    held.heldOpen = true;
    held.heldUntil = sim::M().tick + 120;
    EXPECT_EQ(Copy(System32, true), S_OK);
    EXPECT_EQ(sim::CallCount("CreateFileW"), 1 + 4) << "the source, then 3 refusals and success";
    EXPECT_EQ(sim::M().sleptMs, 150u);
    EXPECT_EQ(sim::FileContent(Target), "abc");
    EXPECT_EQ(LogLines(context).back(), "  Copy Succeeded :)");
}

TEST_F(CopyTest, DestinationOpenElsewhereWithoutWriteSharingGivesUpAfter100Attempts) {
    PutSource("abc");
    sim::PutFile(Target, "old");
    // Another reader that does not share writing: every CREATE_ALWAYS is refused.
    HANDLE reader = CreateFileW(Target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Copy(System32, true), E_FAIL);
    CloseHandle(reader);
    EXPECT_EQ(sim::CallCount("CreateFileW"), 1 + 1 + 100);
    EXPECT_EQ(sim::M().sleptMs, 100u * 50) << "a pause after every attempt, the last included";
    EXPECT_EQ(sim::FileContent(Target), "old");
    EXPECT_EQ(LogLines(context),
              (std::vector<std::string>{
                  ">CopyFile ksvmon64.dll to C:\\Windows\\system32 [1])",
                  "  Error(9): Cant't open destination file: C:\\Windows\\system32\\ksvmon64.dll - "
                  "(The process cannot access the file because it is being used by another "
                  "process.)",
                  "  Copy Failed :(",
              }));
}

TEST_F(CopyTest, SlowAttemptsStopAfterTenSeconds) {
    // Each attempt takes 100 ms, each pause 50 ms: after the n-th failed
    // attempt 150n - 50 ms have passed, more than 10 s first at n = 68. The
    // clock also wraps around during the wait on the second machine.
    PutSource("abc");
    sim::PutFile(Target, "old").heldOpen = true;
    sim::M().createFileMs = 100;
    for (DWORD start : {DWORD(1000000), DWORD(0xFFFFFFFF - 3000)}) {
        Release(context.LogText);
        context.ErrorCount = 0;
        sim::M().tick = start;
        int opens = sim::CallCount("CreateFileW");
        EXPECT_EQ(Copy(System32, true), E_FAIL);
        EXPECT_EQ(sim::CallCount("CreateFileW") - opens, 1 + 68) << start;
        EXPECT_EQ(context.ErrorCount, 1);
        EXPECT_EQ(LogLines(context),
                  (std::vector<std::string>{
                      ">CopyFile ksvmon64.dll to C:\\Windows\\system32 [1])",
                      "  CreateFile - timeout",
                      "  Error(9): Cant't open destination file: "
                      "C:\\Windows\\system32\\ksvmon64.dll - (The process cannot access the file "
                      "because it is being used by another process.)",
                      "  Copy Failed :(",
                  }))
            << start;
    }

    // Without reporting the time-out line is all there is to see.
    Release(context.LogText);
    context.ErrorCount = 0;
    EXPECT_EQ(Copy(System32, false), E_FAIL);
    EXPECT_EQ(context.ErrorCount, 0);
    EXPECT_EQ(LogLines(context), (std::vector<std::string>{
                                     ">CopyFile ksvmon64.dll to C:\\Windows\\system32 [0])",
                                     "  CreateFile - timeout",
                                     "  Copy Failed :(",
                                 }));
}

TEST_F(CopyTest, FailedReadIsACountedErrorAndAFailedCopy) {
    PutSource(Bytes(20000));
    sim::FailCall("ReadFile", ERROR_READ_FAULT, 2);
    EXPECT_EQ(Copy(System32, false), E_FAIL) << "a truncated copy is no success";
    EXPECT_FALSE(sim::FileExists(Target)) << "and is not left behind";
    EXPECT_EQ(context.ErrorCount, 1) << "reported whatever the report flag says";
    EXPECT_EQ(LogLines(context),
              (std::vector<std::string>{
                  ">CopyFile ksvmon64.dll to C:\\Windows\\system32 [0])",
                  "  Error(8): CopyFile(..,C:\\Windows\\system32\\ksvmon64.dll) - (The system "
                  "cannot read from the specified device.)",
                  "  Copy Failed :(",
              }));

    // A source that ends before its size (cut while we read it) is no whole
    // copy either; a partial copy that cannot be deleted now goes at restart.
    sim::M().onCall = [](const std::string& call, int n) {
        if (call == "ReadFile" && n == 3)
            sim::FindFile(SetupDir + u"\\ksvmon64.dll")->bytes.resize(8192);
        if (call == "DeleteFileW")
            sim::FindFile(Target)->heldOpen = true;
    };
    EXPECT_EQ(Copy(System32, true), E_FAIL);
    sim::M().onCall = nullptr;
    EXPECT_EQ(LogLines(context)[4],
              "  Error(8): CopyFile(..,C:\\Windows\\system32\\ksvmon64.dll) - (Reached the end "
              "of the file.)");
    ASSERT_NE(context.DeferredDeletes, nullptr);
    EXPECT_EQ(Ascii(context.DeferredDeletes->path), Ascii(Target));
    sim::FindFile(Target)->heldOpen = false;
    EXPECT_EQ(Copy(System32, true), S_OK);
    EXPECT_EQ(context.DeferredDeletes, nullptr) << "a whole copy is no leftover";
}

TEST_F(CopyTest, FullDiskIsACountedErrorAndAFailedCopy) {
    PutSource(Bytes(20000));
    sim::M().diskSpace = 10000;
    EXPECT_EQ(Copy(System32, true), E_FAIL);
    EXPECT_FALSE(sim::FileExists(Target));
    EXPECT_EQ(context.ErrorCount, 1);
    EXPECT_EQ(LogLines(context),
              (std::vector<std::string>{
                  ">CopyFile ksvmon64.dll to C:\\Windows\\system32 [1])",
                  "  Error(8): CopyFile(..,C:\\Windows\\system32\\ksvmon64.dll) - (There is not "
                  "enough space on the disk.)",
                  "  Copy Failed :(",
              }));
}

TEST_F(CopyTest, DestinationPathMustFitTheCallersBuffer) {
    // 263 code units and the terminator fill the buffer exactly.
    sim::Text fits = u"C:\\" + sim::Text(263 - 3 - 1 - 12, u'd');
    sim::MakeDirectory(fits);
    PutSource("abc");
    EXPECT_EQ(Copy(fits, true), S_OK);
    EXPECT_EQ(TextLength(destination), 263u);
    EXPECT_EQ(sim::FileContent(fits + u"\\ksvmon64.dll"), "abc");

    // One more is refused: nothing cut, nothing opened, nothing written.
    sim::Text tooLong = fits + u"e";
    sim::MakeDirectory(tooLong);
    Release(context.LogText);
    int opens = sim::CallCount("CreateFileW");
    EXPECT_EQ(Copy(tooLong, true), E_FAIL);
    EXPECT_EQ(sim::CallCount("CreateFileW"), opens);
    EXPECT_EQ(destination[0], 0) << "an empty path rather than a cut one";
    EXPECT_FALSE(sim::FileExists(tooLong + u"\\ksvmon64.dll"));
    EXPECT_EQ(context.ErrorCount, 1);
    std::vector<std::string> lines = LogLines(context);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "  Error(9): Cant't open destination file: " + Ascii(tooLong) +
                            "\\ksvmon64.dll - (The filename or extension is too long.)");
    EXPECT_EQ(lines[2], "  Copy Failed :(");

    Release(context.LogText);
    EXPECT_EQ(Copy(tooLong, false), E_FAIL);
    EXPECT_EQ(context.ErrorCount, 1) << "not reported without report";
}
