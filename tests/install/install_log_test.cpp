#include "run/install_log.h"

#include "common/text.h"
#include "tests/support/test_machine.h"

namespace {

class LogTest : public MachineTest {
  protected:
    InstallContext context{};
    void TearDown() override {
        Release(context.LogText);
        EXPECT_EQ(sim::LiveBlocks(), 0u) << "the log leaves nothing behind but its text";
        MachineTest::TearDown();
    }
    std::string Log() const { return LogText(context); }
};

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

} // namespace

TEST_F(LogTest, LinesAreIndentedTwoSpacesPerLevelUpToTen) {
    const struct {
        int32_t depth;
        size_t spaces;
    } cases[] = {{0, 0}, {1, 2}, {3, 6}, {10, 20}, {11, 20}, {40, 20}, {-1, 0}, {INT32_MIN, 0}};
    for (const auto& c : cases) {
        Release(context.LogText);
        context.LogDepth = c.depth;
        AppendLogLine(context, W("x"));
        EXPECT_EQ(Log(), std::string(c.spaces, ' ') + "x\r\n") << "depth " << c.depth;
    }
}

TEST_F(LogTest, EmptyOrNullTextStillAddsALine) {
    AppendLogLine(context, nullptr);
    context.LogDepth = 2;
    AppendLogLine(context, W(""));
    LogLine(context, W("%s"), W(""));
    EXPECT_EQ(Log(), "\r\n    \r\n    \r\n");
    EXPECT_EQ(Text(context.LogText)[Length(context.LogText)], 0);
    EXPECT_EQ(context.ErrorCount, 0);
}

TEST_F(LogTest, LogLineFormatsAndAppends) {
    LogLine(context, W("Kestrovane %d"), 2501);
    context.LogDepth = 1;
    LogLine(context, W(">CopyFile %s to %s [%d])"), W("ksvmon64.dll"), W("C:\\Windows\\x"), 3);
    // Long enough that the log's block must grow several times on the way.
    for (int i = 0; i < 20; ++i)
        LogLine(context, W("line %d"), i);
    std::vector<std::string> lines = LogLines(context);
    ASSERT_EQ(lines.size(), 22u);
    EXPECT_EQ(lines[0], "Kestrovane 2501");
    EXPECT_EQ(lines[1], "  >CopyFile ksvmon64.dll to C:\\Windows\\x [3])");
    EXPECT_EQ(lines[21], "  line 19");
    EXPECT_EQ(Log().substr(Log().size() - 2), "\r\n");
    EXPECT_EQ(context.ErrorCount, 0);
}

TEST_F(LogTest, ErrorLineCarriesTheSystemDescriptionOnOneLine) {
    context.LogDepth = 1;
    SetLastError(ERROR_FILE_NOT_FOUND); // another call's failure since: not the one logged
    LogError(context, ErrOpenSpooler, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Log(), "  Error(2): Can't open the spooler - (Access is denied.)\r\n");
    EXPECT_EQ(Count(Log(), "\r"), 1u) << "the description's own CR LF is dropped";
    EXPECT_EQ(Count(Log(), "\n"), 1u);
    EXPECT_EQ(context.ErrorCount, 1);
    EXPECT_EQ(sim::M().localHeap.live.size(), 0u) << "the description is released";
}

TEST_F(LogTest, ErrorLineWithoutADescription) {
    LogError(context, ErrStopSpooler, 12345); // no system text for it
    sim::FailCall("FormatMessageW", ERROR_NOT_ENOUGH_MEMORY, 2);
    LogError(context, ErrStartSpooler, ERROR_ACCESS_DENIED);
    SetLastError(ERROR_ACCESS_DENIED);
    LogError(context, ErrSystemDirectory, 0);
    std::vector<std::string> lines = LogLines(context);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Error(3): Can't stop the spooler - ( No Description )");
    EXPECT_EQ(lines[1], "Error(4): Can't start the spooler - ( No Description )");
    EXPECT_EQ(lines[2], "Error(7): Can`t retrieve system directory.") << "code 0: nothing behind";
    EXPECT_EQ(context.ErrorCount, 3);
    EXPECT_EQ(sim::CallCount("FormatMessageW"), 3);
}

TEST_F(LogTest, EveryErrorNumberHasItsMessage) {
    const WCHAR* path = W("C:\\Windows\\system32\\ksvmon64.dll");
    const WCHAR* printer = W("Kestrovane");
    SetLastError(0);
    LogError(context, 1, 0);
    LogError(context, 2, 0);
    LogError(context, 3, 0);
    LogError(context, 4, 0);
    LogError(context, 5, 0, 1061u, 1061u);
    LogError(context, 6, 0);
    LogError(context, 7, 0);
    LogError(context, 8, 0, path);
    LogError(context, 9, 0, path);
    LogError(context, 10, 0, W("ksvmon64.dll"));
    LogError(context, 11, 0);
    LogError(context, 12, 0);
    LogError(context, 13, 0);
    LogError(context, 14, 0);
    LogError(context, 15, 0, printer);
    LogError(context, 16, 0, printer);
    LogError(context, 17, 0, printer);
    const char* expected[] = {
        "Error(1): Can't open service manager.",
        "Error(2): Can't open the spooler",
        "Error(3): Can't stop the spooler",
        "Error(4): Can't start the spooler",
        "Error(5): ControlService failed with code 1061 (0x425)",
        "Error(6): Can`t retrieve printer driver directory.",
        "Error(7): Can`t retrieve system directory.",
        "Error(8): CopyFile(..,C:\\Windows\\system32\\ksvmon64.dll)",
        "Error(9): Cant't open destination file: C:\\Windows\\system32\\ksvmon64.dll",
        "Error(10): Cant't open source file: ksvmon64.dll",
        "Error(11): Can`t install a local port monitor'Kestrovane:'",
        "Error(12): Can`t remove the port monitor 'Kestrovane:'",
        "Error(13): Can`t install a printer driver 'Kestrovane printer'",
        "Error(14): Can`t remove the printer-driver 'Kestrovane printer'",
        "Error(15): Can`t add printer 'Kestrovane'",
        "Error(16): Can`t open printer 'Kestrovane'",
        "Error(17): Can`t delete printer 'Kestrovane'",
    };
    std::vector<std::string> lines = LogLines(context);
    ASSERT_EQ(lines.size(), 17u);
    for (size_t i = 0; i < 17; ++i)
        EXPECT_EQ(lines[i], expected[i]);
    EXPECT_EQ(context.ErrorCount, 17);
}

// English where the system has it, else the system's own language; an
// English system is asked exactly once.
TEST_F(LogTest, LastErrorTextIsEnglishOrTheSystemsOwnWithoutLineEnd) {
    const struct {
        DWORD language;
        const char* text;
        int calls;
    } cases[] = {{1033, "The service has not been started.", 1},
                 {1031, "[1031] The service has not been started.", 2}};
    for (const auto& c : cases) {
        sim::Reset();
        sim::M().messageLanguage = c.language;
        WCHAR* text = LastErrorText(ERROR_SERVICE_NOT_ACTIVE);
        ASSERT_NE(text, nullptr) << c.language;
        EXPECT_EQ(Ascii(text), c.text);
        EXPECT_EQ(LocalFree(text), nullptr);
        EXPECT_EQ(sim::CallCount("FormatMessageW"), c.calls) << c.language;
        EXPECT_EQ(LastErrorText(12345), nullptr) << c.language;
    }
}

TEST_F(LogTest, OverlongLinesAreCutAtTheBuffer) {
    std::string longText(3000, 'p');
    sim::Text wide = sim::Widen(longText);
    context.LogDepth = 3;
    LogLine(context, W("%s"), wide.c_str());
    LogError(context, ErrAddPrinter, ERROR_ACCESS_DENIED, wide.c_str());
    LogLine(context, W("after"));
    std::vector<std::string> lines = LogLines(context);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], std::string(6, ' ') + std::string(1023, 'p'));
    EXPECT_EQ(lines[1].size(), 6u + 1023u);
    EXPECT_EQ(lines[1].substr(0, 30), "      Error(15): Can`t add pri");
    EXPECT_EQ(lines[2], "      after");
    EXPECT_EQ(context.ErrorCount, 1);

    // Exactly 1023 units fit whole.
    Release(context.LogText);
    context.LogDepth = 0;
    LogLine(context, W("%s"), wide.substr(0, 1023).c_str());
    EXPECT_EQ(LogLines(context)[0].size(), 1023u);
}
