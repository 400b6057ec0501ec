#include "common/wide_string.h"

#include "tests/support/test_machine.h"

namespace {

// The size the general heap holds for the string's block; 0 without one.
size_t BlockBytes(const WideString& s) {
    if (!s.block)
        return 0;
    SIZE_T size = HeapSize(GetProcessHeap(), 0, s.block);
    EXPECT_EQ(size, sim::M().generalHeap.live.at(s.block));
    return size;
}

sim::Text Content(const WideString& s) {
    return sim::Text(Text(s));
}

sim::Text Letters(size_t n) {
    sim::Text text;
    for (size_t i = 0; i < n; ++i)
        text.push_back(static_cast<char16_t>(u'a' + i % 26));
    return text;
}

void Fill(WideString& s, uint64_t from) {
    for (uint64_t i = from; i < Length(s); ++i)
        s.block->text[i] = static_cast<WCHAR>(u'a' + i % 26);
}

// The terminator stands at index Length after every operation.
void ExpectWellFormed(const WideString& s) {
    ASSERT_NE(Text(s), nullptr);
    EXPECT_EQ(Text(s)[Length(s)], 0);
    EXPECT_EQ(s.block == nullptr, Length(s) == 0);
    if (s.block) {
        EXPECT_EQ(BlockBytes(s), BlockSizeFor(Length(s)));
    }
}

} // namespace

using WideStringTest = MachineTest;

TEST_F(WideStringTest, BlocksGrowInStepsOf32CodeUnits) {
    const struct {
        uint64_t length;
        size_t bytes;
    } cases[] = {{1, 72},   {31, 72},  {32, 136}, {63, 136},
                 {64, 200}, {95, 200}, {96, 264}, {127, 264}};
    for (const auto& c : cases) {
        WideString s;
        ASSERT_TRUE(SetLength(s, c.length));
        Fill(s, 0);
        EXPECT_EQ(BlockBytes(s), c.bytes) << "length " << c.length;
        EXPECT_EQ(s.block->length, c.length);
        ExpectWellFormed(s);
        Release(s);
    }
    EXPECT_EQ(sim::LiveBlocks(), 0u);
}

TEST_F(WideStringTest, SetLengthResizesOnlyWhenTheCapacityChanges) {
    WideString s;
    EXPECT_TRUE(SetLength(s, 31));
    Fill(s, 0);
    EXPECT_EQ(BlockBytes(s), 72u);
    EXPECT_EQ(sim::CallCount("HeapAlloc"), 1);

    EXPECT_TRUE(SetLength(s, 32));
    EXPECT_EQ(BlockBytes(s), 136u);
    EXPECT_EQ(sim::CallCount("HeapReAlloc"), 1);
    Fill(s, 31);
    EXPECT_EQ(Content(s), Letters(32)) << "the leading content survives the resize";

    const WideStringBlock* block = s.block;
    for (uint64_t n = 33; n <= 63; ++n) {
        EXPECT_TRUE(SetLength(s, n));
        Fill(s, n - 1);
        ExpectWellFormed(s);
    }
    EXPECT_EQ(s.block, block);
    EXPECT_EQ(sim::CallCount("HeapReAlloc"), 1);

    EXPECT_TRUE(SetLength(s, 31));
    EXPECT_EQ(BlockBytes(s), 72u) << "shrinking below a step gives the room back";
    EXPECT_EQ(sim::CallCount("HeapReAlloc"), 2);
    EXPECT_EQ(Content(s), Letters(31));
    ExpectWellFormed(s);

    EXPECT_TRUE(SetLength(s, 0));
    EXPECT_EQ(s.block, nullptr);
    EXPECT_EQ(sim::LiveBlocks(), 0u);
}

TEST_F(WideStringTest, EveryWayToEmptyLeavesNoBlockAndTheStaticEmptyText) {
    WideString none;
    const WCHAR* emptyText = Text(none);
    ASSERT_NE(emptyText, nullptr);
    EXPECT_EQ(emptyText[0], 0);

    WideString s;
    EXPECT_TRUE(Assign(s, W("abc")));
    EXPECT_TRUE(SetLength(s, 0));
    EXPECT_EQ(s.block, nullptr);
    EXPECT_EQ(Text(s), emptyText);

    EXPECT_TRUE(Assign(s, W("abc")));
    EXPECT_TRUE(Assign(s, static_cast<const WCHAR*>(nullptr)));
    EXPECT_EQ(s.block, nullptr);
    EXPECT_EQ(Text(s), emptyText);

    EXPECT_TRUE(Assign(s, W("abc")));
    EXPECT_TRUE(Assign(s, W("")));
    EXPECT_EQ(s.block, nullptr);
    EXPECT_EQ(Length(s), 0u);

    EXPECT_TRUE(Assign(s, W("abc")));
    EXPECT_TRUE(Assign(s, none));
    EXPECT_EQ(s.block, nullptr);
    EXPECT_EQ(Text(s), emptyText);

    Release(s); // releasing an empty string frees nothing
    EXPECT_EQ(sim::M().generalHeap.frees, sim::M().generalHeap.allocations);
    EXPECT_EQ(sim::LiveBlocks(), 0u);
}

TEST_F(WideStringTest, AppendAddsAtTheEndAndNothingForEmptyText) {
    WideString s;
    EXPECT_TRUE(Append(s, W("")));
    EXPECT_TRUE(Append(s, W("xyz"), 0));
    EXPECT_EQ(s.block, nullptr);
    EXPECT_EQ(sim::CallCount("HeapAlloc"), 0);

    EXPECT_TRUE(Append(s, W("C:\\dir")));
    EXPECT_TRUE(Append(s, W("\\file.dll!!"), 9));
    EXPECT_EQ(Ascii(Text(s)), "C:\\dir\\file.dll");
    ExpectWellFormed(s);

    const WideStringBlock* block = s.block;
    EXPECT_TRUE(Append(s, W("")));
    EXPECT_EQ(s.block, block);
    EXPECT_EQ(Length(s), 15u);
    EXPECT_EQ(sim::CallCount("HeapReAlloc"), 0);

    // Growing past 31 units by appending keeps everything before.
    sim::Text more = Letters(40);
    EXPECT_TRUE(Append(s, more.c_str()));
    EXPECT_EQ(Content(s), u"C:\\dir\\file.dll" + more);
    ExpectWellFormed(s);
    Release(s);
}

TEST_F(WideStringTest, OwnTextMayBeAppendedOrAssigned) {
    WideString s;
    sim::Text start = Letters(31);
    EXPECT_TRUE(Assign(s, start.c_str()));
    EXPECT_TRUE(Append(s, Text(s))); // grows to 62: the block moves under the source
    EXPECT_EQ(Content(s), start + start);
    ExpectWellFormed(s);

    EXPECT_TRUE(Append(s, Text(s) + 2, 3));
    EXPECT_EQ(Content(s), start + start + u"cde");

    EXPECT_TRUE(Assign(s, Text(s) + 50)); // a tail of 15 units: the block shrinks
    EXPECT_EQ(Content(s), (start + start + u"cde").substr(50));
    ExpectWellFormed(s);

    EXPECT_TRUE(Assign(s, s));
    EXPECT_EQ(Length(s), 15u);
    Release(s);
    EXPECT_EQ(sim::LiveBlocks(), 0u);
}

TEST_F(WideStringTest, AssignOfAnotherStringCopiesItsCharacters) {
    WideString a, b;
    EXPECT_TRUE(Assign(a, W("source")));
    sim::Text longer = Letters(70);
    EXPECT_TRUE(Assign(b, longer.c_str()));
    EXPECT_TRUE(Assign(b, a));
    EXPECT_EQ(Ascii(Text(b)), "source");
    EXPECT_NE(a.block, b.block);
    ExpectWellFormed(b);
    Release(a);
    Release(b);
    EXPECT_EQ(sim::LiveBlocks(), 0u);
}

TEST_F(WideStringTest, CopyDuplicatesTheWholeBlock) {
    WideString s;
    sim::Text text = Letters(40);
    EXPECT_TRUE(Assign(s, text.c_str()));
    WideString copy = Copy(s);
    ASSERT_NE(copy.block, nullptr);
    EXPECT_NE(copy.block, s.block);
    EXPECT_EQ(BlockBytes(copy), BlockBytes(s));
    EXPECT_EQ(Length(copy), 40u);
    EXPECT_EQ(Content(copy), text);

    EXPECT_TRUE(Append(copy, W("!")));
    copy.block->text[0] = 'Z';
    EXPECT_EQ(Content(s), text) << "the source does not change with its copy";

    WideString none;
    WideString emptyCopy = Copy(none);
    EXPECT_EQ(emptyCopy.block, nullptr);

    Release(copy);
    Release(s);
    EXPECT_EQ(sim::LiveBlocks(), 0u);
}

TEST_F(WideStringTest, DirectoryPartCutsAtTheLastBackslashElseSlash) {
    const struct {
        const WCHAR* path;
        const char* directory;
    } cases[] = {
        {W("C:\\dir\\sub"), "C:\\dir"},
        {W("C:\\dir\\"), "C:\\dir"},
        {W("a/b\\c/d"), "a/b"},
        {W("x\\file"), "x"},
        {W("\\file"), ""},
        {W("name"), ""},
        {W("dir/file"), "dir"},
        {W("/file"), ""},
        {W(""), ""},
    };
    for (const auto& c : cases) {
        WideString path;
        EXPECT_TRUE(Assign(path, c.path));
        WideString directory = DirectoryPart(path);
        EXPECT_EQ(Ascii(Text(directory)), c.directory) << Ascii(c.path);
        ExpectWellFormed(directory);
        EXPECT_EQ(Ascii(Text(path)), Ascii(c.path));
        Release(directory);
        Release(path);
    }

    // A result longer than one step gets a block of its own size.
    WideString path;
    EXPECT_TRUE(Assign(path, (Letters(40) + u"\\file.dll").c_str()));
    WideString directory = DirectoryPart(path);
    EXPECT_EQ(Content(directory), Letters(40));
    EXPECT_EQ(BlockBytes(directory), 136u);
    Release(directory);
    Release(path);
    EXPECT_EQ(sim::LiveBlocks(), 0u);
}

TEST_F(WideStringTest, FromAnsiUsesTheWindows1252CodePage) {
    WideString empty = FromAnsi("");
    EXPECT_EQ(empty.block, nullptr);
    EXPECT_EQ(sim::CallCount("HeapAlloc"), 0);

    WideString one = FromAnsi("K");
    EXPECT_EQ(Length(one), 1u);
    EXPECT_EQ(BlockBytes(one), 72u);
    EXPECT_EQ(Ascii(Text(one)), "K");
    ExpectWellFormed(one);

    WideString high = FromAnsi("\x80\x9f\xe9\x81 5\xa0");
    EXPECT_EQ(Content(high), sim::Text(u"\u20ac\u0178\u00e9\u0081 5\u00a0"));
    ExpectWellFormed(high);

    WideString longer = FromAnsi(sim::Narrow(Letters(33)).c_str());
    EXPECT_EQ(Content(longer), Letters(33));
    EXPECT_EQ(BlockBytes(longer), 136u);

    WideString none = FromAnsi(nullptr); // the conversion refuses it
    EXPECT_EQ(none.block, nullptr);

    Release(one);
    Release(high);
    Release(longer);
    EXPECT_EQ(sim::LiveBlocks(), 0u);
}

TEST_F(WideStringTest, FromAnsiLeavesNothingWhenTheConversionFails) {
    sim::FailCall("MultiByteToWideChar", ERROR_INVALID_PARAMETER);
    WideString first = FromAnsi("printer");
    EXPECT_EQ(first.block, nullptr);

    sim::FailCall("MultiByteToWideChar", ERROR_INSUFFICIENT_BUFFER, 3); // the second of the pair
    WideString second = FromAnsi("printer");
    EXPECT_EQ(second.block, nullptr);
    EXPECT_EQ(sim::LiveBlocks(), 0u);
}

TEST_F(WideStringTest, HeapRefusalLeavesTheStringAsItWas) {
    WideString s;
    sim::FailCall("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, -1);
    EXPECT_FALSE(SetLength(s, 5));
    EXPECT_FALSE(Assign(s, W("abc")));
    EXPECT_FALSE(Append(s, W("abc")));
    EXPECT_EQ(s.block, nullptr);
    WideString converted = FromAnsi("abc");
    EXPECT_EQ(converted.block, nullptr);
    sim::M().faults.clear();

    EXPECT_TRUE(Assign(s, W("abc")));
    WideString other;
    sim::Text text = Letters(40);
    EXPECT_TRUE(Assign(other, text.c_str()));
    sim::FailCall("HeapReAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, -1);
    EXPECT_FALSE(SetLength(s, 40));
    EXPECT_FALSE(Append(s, text.c_str()));
    EXPECT_FALSE(Assign(s, text.c_str()));
    EXPECT_FALSE(Assign(s, other));
    EXPECT_TRUE(Append(s, Text(s))); // 6 units still fit the block: no resize needed
    EXPECT_EQ(Ascii(Text(s)), "abcabc");
    ExpectWellFormed(s);
    EXPECT_FALSE(SetLength(other, 3)) << "a refused shrink keeps the text too";
    EXPECT_EQ(Content(other), text);
    ExpectWellFormed(other);
    sim::M().faults.clear();

    sim::FailCall("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, -1);
    WideString copy = Copy(other);
    EXPECT_EQ(copy.block, nullptr);
    EXPECT_TRUE(Assign(other, W("C:\\dir\\file")));
    EXPECT_EQ(Ascii(Text(other)), "C:\\dir\\file");
    WideString directory = DirectoryPart(other);
    EXPECT_EQ(directory.block, nullptr);
    sim::M().faults.clear();

    Release(s);
    Release(other);
    EXPECT_EQ(sim::LiveBlocks(), 0u);
}
