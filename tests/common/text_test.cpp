#include "common/text.h"

#include "tests/support/test_machine.h"

#include <climits>

namespace {

std::string Format(const WCHAR* format, ...) {
    WCHAR buffer[256];
    va_list args;
    va_start(args, format);
    int n = FormatTextV(buffer, 256, format, args);
    va_end(args);
    EXPECT_EQ(static_cast<size_t>(n), TextLength(buffer)) << "returns the units written";
    return Ascii(buffer);
}

} // namespace

using TextTest = MachineTest;

TEST_F(TextTest, FormatTextConversions) {
    EXPECT_EQ(Format(W("Kestrovane %d"), 2501), "Kestrovane 2501");
    EXPECT_EQ(Format(W("%d|%d|%d"), 0, -7, INT_MAX), "0|-7|2147483647");
    EXPECT_EQ(Format(W("%d"), INT_MIN), "-2147483648");
    EXPECT_EQ(Format(W("%x|%x|%x"), 0u, 255u, 0x80004005u), "0|ff|80004005");
    EXPECT_EQ(Format(W("ControlService failed with code %d (0x%x)"), 1061, 1061),
              "ControlService failed with code 1061 (0x425)");
    EXPECT_EQ(Format(W("[%s] [%s]"), W("C:\\x y"), static_cast<const WCHAR*>(nullptr)),
              "[C:\\x y] [(null)]");
    EXPECT_EQ(Format(W("100%% %s"), W("")), "100% ");
    EXPECT_EQ(Format(W("%q and %")), "%q and %") << "what is no conversion stays as written";
    EXPECT_EQ(Format(W("")), "");
}

TEST_F(TextTest, FormatTextCutsAtTheBufferAndNeverOverruns) {
    WCHAR buffer[12];
    for (WCHAR& unit : buffer)
        unit = '#';
    int n = FormatText(buffer, 8, W("%s-%d"), W("abcdef"), 12345);
    EXPECT_EQ(n, 7);
    EXPECT_EQ(Ascii(buffer), "abcdef-");
    for (int i = 8; i < 12; ++i)
        EXPECT_EQ(buffer[i], '#') << "unit " << i << " lies beyond the buffer";

    EXPECT_EQ(FormatText(buffer, 1, W("abc")), 0);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(FormatText(nullptr, 0, W("abc")), 0);
}

TEST_F(TextTest, ParseDecimalReadsAsWcstolInBaseTen) {
    const struct {
        const WCHAR* text;
        int32_t value;
    } cases[] = {
        {W("4096"), 4096},
        {W("  \t\r\n4096"), 4096},
        {W("+4096"), 4096},
        {W("-4096"), -4096},
        {W("4096xyz"), 4096},
        {W("0x1000"), 0},
        {W("abc"), 0},
        {W(""), 0},
        {W("-"), 0},
        {W("- 5"), 0},
        {W("2147483647"), INT_MAX},
        {W("2147483648"), INT_MAX},
        {W("99999999999999999999999"), INT_MAX},
        {W("-2147483648"), INT_MIN},
        {W("-2147483649"), INT_MIN},
        {W("-99999999999999999999999"), INT_MIN},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseDecimal(c.text), c.value) << "'" << Ascii(c.text) << "'";
    EXPECT_EQ(ParseDecimal(nullptr), 0);
}

TEST_F(TextTest, ComparisonsAndSearch) {
    EXPECT_TRUE(TextEqual(W("Kestrovane:"), W("Kestrovane:")));
    EXPECT_FALSE(TextEqual(W("Kestrovane:"), W("kestrovane:")));
    EXPECT_FALSE(TextEqual(W("Kestrovane:"), W("Kestrovane")));
    EXPECT_TRUE(TextEqualNoCase(W("In_NoTray"), W("in_notray")));
    EXPECT_FALSE(TextEqualNoCase(W("in"), W("install")));
    EXPECT_FALSE(TextEqualNoCase(W("\u00c9"), W("\u00e9"))) << "only ASCII letters fold";
    WCHAR text[] = W("C:\\x\\ksvmon64.dll");
    EXPECT_EQ(TextFind(text, W("ksvmon")), text + 5);
    EXPECT_EQ(TextFind(text, W("KSVMON")), nullptr);
    EXPECT_EQ(TextLength(nullptr), 0u);
    // A queued rename's "\??\" form, a drive without a folder, a bare name.
    EXPECT_EQ(FileNamePart(text), text + 5);
    EXPECT_TRUE(TextEqual(FileNamePart(W("\\??\\C:/x/ksvui64.dll")), W("ksvui64.dll")));
    EXPECT_TRUE(TextEqual(FileNamePart(W("C:ksvdrv64.dll")), W("ksvdrv64.dll")));
    EXPECT_TRUE(TextEqual(FileNamePart(W("kestray.exe")), W("kestray.exe")));
}
