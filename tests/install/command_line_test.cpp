// The simulated CommandLineToArgvW, held to the splitting rules Microsoft
// documents for it: the front end relies on them for the verb and the owner.
#include "tests/support/test_machine.h"

namespace {

std::vector<std::string> Split(const sim::Text& line) {
    int count = -1;
    LPWSTR* args = CommandLineToArgvW(line.c_str(), &count);
    std::vector<std::string> out;
    if (!args)
        return out;
    for (int i = 0; i < count; ++i)
        out.push_back(Ascii(args[i]));
    EXPECT_EQ(args[count], nullptr);
    EXPECT_EQ(LocalFree(args), nullptr) << "one block, released with one LocalFree";
    EXPECT_EQ(sim::LiveBlocks(), 0u);
    return out;
}

using Args = std::vector<std::string>;

} // namespace

using CommandLineTest = MachineTest;

TEST_F(CommandLineTest, BackslashesCountOnlyBeforeAQuote) {
    EXPECT_EQ(Split(uR"(p a\\"b c" d)"), (Args{"p", "a\\b c", "d"})) << "2n: n and a toggle";
    EXPECT_EQ(Split(uR"(p a\\\\"b" c)"), (Args{"p", "a\\\\b", "c"}));
    EXPECT_EQ(Split(uR"(p a\"b c)"), (Args{"p", "a\"b", "c"})) << "2n+1: n and a literal quote";
    EXPECT_EQ(Split(uR"(p "a\\\"b c")"), (Args{"p", "a\\\"b c"}));
    EXPECT_EQ(Split(uR"(p a\\b c\ d\\)"), (Args{"p", "a\\\\b", "c\\", "d\\\\"}));
    EXPECT_EQ(Split(uR"(p "C:\Program Files\" x)"), (Args{"p", "C:\\Program Files\" x"}));
}

TEST_F(CommandLineTest, QuotesAndBlanksSeparateArguments) {
    EXPECT_EQ(Split(uR"("C:\Program Files\K\ksvinstall.exe" install 4096)"),
              (Args{"C:\\Program Files\\K\\ksvinstall.exe", "install", "4096"}));
    EXPECT_EQ(Split(uR"("C:\dir\" in)"), (Args{"C:\\dir\\", "in"}))
        << "no backslash rules in the program name";
    EXPECT_EQ(Split(u"p\tin\t\t 12 "), (Args{"p", "in", "12"})) << "tabs separate too";
    EXPECT_EQ(Split(uR"(p "" "a b"c d)"), (Args{"p", "", "a bc", "d"}));
    EXPECT_EQ(Split(u"  p in"), (Args{"", "p", "in"})) << "leading blanks: an empty first one";
}

TEST_F(CommandLineTest, EmptyLineGivesTheProgramPath) {
    EXPECT_EQ(Split(u""), (Args{"C:\\Program Files\\Kestrovane\\setup\\ksvinstall.exe"}));
    int count = 0;
    EXPECT_EQ(CommandLineToArgvW(W("p"), nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    sim::FailCall("CommandLineToArgvW", ERROR_NOT_ENOUGH_MEMORY, 3);
    EXPECT_EQ(CommandLineToArgvW(W("p in"), &count), nullptr);
}
