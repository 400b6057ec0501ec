#include "files/pending_cancel.h"

#include "run/install_context.h"
#include "tests/support/test_machine.h"

namespace {

const sim::Text ValueName = u"PendingFileRenameOperations";
const sim::Text Ours = u"C:\\Windows\\system32\\ksvmon64.dll";
const sim::Text Nt = u"\\??\\";

// The strings as UTF-16 LE units, each with its terminator, then the
// closing terminator unless `closed` is false.
std::vector<uint8_t> Value(std::initializer_list<sim::Text> strings, bool closed = true) {
    sim::Text units;
    for (const sim::Text& s : strings)
        units += s + sim::Text(1, u'\0');
    if (closed)
        units += sim::Text(1, u'\0');
    std::vector<uint8_t> out;
    for (char16_t c : units) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

// Raw units: strings as given, terminators and all written by the test.
std::vector<uint8_t> Raw(const sim::Text& units) {
    std::vector<uint8_t> out;
    for (char16_t c : units) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

class CancelPendingTest : public MachineTest {
  protected:
    InstallContext context{};

    void TearDown() override {
        FreeContext(context);
        EXPECT_EQ(sim::LiveBlocks(), 0u);
        EXPECT_EQ(sim::OpenHandles(sim::HandleKind::Key), 0u) << "the key is closed";
        MachineTest::TearDown();
    }
    void SetPending(const std::vector<uint8_t>& bytes, DWORD type = REG_MULTI_SZ) {
        sim::SetValue(sim::PendingRenamesKey, ValueName, type, bytes);
    }
    bool HasValue() { return sim::FindValue(sim::PendingRenamesKey, ValueName) != nullptr; }
    std::vector<uint8_t> Pending() {
        sim::RegValue* v = sim::FindValue(sim::PendingRenamesKey, ValueName);
        return v ? v->data : std::vector<uint8_t>();
    }
    // Cancels at depth 2 and gives the lines written.
    std::vector<std::string> Cancel(const sim::Text& path = Ours) {
        context.LogDepth = 2;
        size_t before = LogLines(context).size();
        CancelPendingDeletion(context, path.c_str());
        EXPECT_EQ(context.LogDepth, 2);
        EXPECT_EQ(context.ErrorCount, 0);
        std::vector<std::string> all = LogLines(context);
        return std::vector<std::string>(all.begin() + static_cast<long>(before), all.end());
    }
};

const std::string Cancelled = "    Pending deletion cancelled: C:\\Windows\\system32\\ksvmon64.dll";

} // namespace

TEST_F(CancelPendingTest, OnlyOurDeletionGoesTheRestStaysInOrder) {
    SetPending(Value({Nt + u"C:\\a.tmp", u"!" + Nt + u"C:\\a.dll", // a rename before
                      Nt + Ours, u"",                              // ours
                      Nt + u"C:\\b.dll", u"",                      // another deletion
                      u"", u"",                                    // an empty pair
                      Nt + Ours, Nt + u"C:\\moved.dll",            // a rename of ours
                      Nt + u"C:\\new.dll", u"!" + Nt + Ours,       // a rename onto ours
                      Nt + Ours, u""}));                           // ours again, last
    EXPECT_EQ(Cancel(), (std::vector<std::string>{Cancelled, Cancelled}));
    EXPECT_EQ(Pending(),
              Value({Nt + u"C:\\a.tmp", u"!" + Nt + u"C:\\a.dll", Nt + u"C:\\b.dll", u"", u"", u"",
                     Nt + Ours, Nt + u"C:\\moved.dll", Nt + u"C:\\new.dll", u"!" + Nt + Ours}));
    EXPECT_EQ(sim::FindValue(sim::PendingRenamesKey, ValueName)->type, DWORD(REG_MULTI_SZ));
}

TEST_F(CancelPendingTest, LetterCaseAndThePrefixDoNotMatter) {
    SetPending(Value({Nt + u"c:\\WINDOWS\\System32\\KSVMON64.DLL", u"", Ours, u""}));
    EXPECT_EQ(Cancel(), (std::vector<std::string>{Cancelled, Cancelled}));
    EXPECT_FALSE(HasValue()) << "nothing left: the value goes";

    // Only the whole four-unit prefix is one; other spellings name other files.
    std::vector<uint8_t> others = Value({u"\\?\\" + Ours, u"", u"\\\\?\\" + Ours, u"",
                                         Nt + Ours + u".bak", u"", Nt + u"ksvmon64.dll", u""});
    SetPending(others);
    EXPECT_TRUE(Cancel().empty());
    EXPECT_EQ(Pending(), others);
}

TEST_F(CancelPendingTest, AValueWithoutOursIsLeftByteForByte) {
    // A last target without terminators of its own, as another program may write it.
    std::vector<uint8_t> odd = Raw(Nt + u"C:\\a.tmp" + sim::Text(1, u'\0') + Nt + u"C:\\a.dll");
    const std::vector<uint8_t> values[] = {
        odd, Value({Nt + u"C:\\b.dll", u""}),
        Value({Nt + u"C:\\lonely.dll"}), // a string without a partner
        Value({}),                       // the closing terminator alone
    };
    for (const std::vector<uint8_t>& value : values) {
        SetPending(value);
        EXPECT_TRUE(Cancel().empty());
        EXPECT_EQ(Pending(), value);
    }
    SetPending({}); // no bytes at all
    EXPECT_TRUE(Cancel().empty());
    EXPECT_TRUE(HasValue());
    EXPECT_TRUE(Pending().empty());

    sim::FindKey(sim::PendingRenamesKey)->values.clear();
    EXPECT_TRUE(Cancel().empty());
    EXPECT_FALSE(HasValue()) << "none is created";
}

TEST_F(CancelPendingTest, StringsWithoutTerminatorsAroundOursAreKeptWhole) {
    // Ours first, then a rename whose target lacks both terminators.
    SetPending(Raw(Nt + Ours + sim::Text(2, u'\0') + Nt + u"C:\\a.tmp" + sim::Text(1, u'\0') + Nt +
                   u"C:\\a.dll"));
    EXPECT_EQ(Cancel(), (std::vector<std::string>{Cancelled}));
    EXPECT_EQ(Pending(), Value({Nt + u"C:\\a.tmp", Nt + u"C:\\a.dll"}));

    // Ours, then a last string without partner or terminator.
    SetPending(Raw(Nt + Ours + sim::Text(2, u'\0') + Nt + u"C:\\z.dll"));
    EXPECT_EQ(Cancel(), (std::vector<std::string>{Cancelled}));
    EXPECT_EQ(Pending(), Value({Nt + u"C:\\z.dll"}));

    // Ours as the last pair without the closing terminator: one string, no
    // operation, as the reader of the value sees it too.
    std::vector<uint8_t> unclosed = Value({Nt + Ours, u""}, false);
    SetPending(unclosed);
    EXPECT_TRUE(Cancel().empty());
    EXPECT_EQ(Pending(), unclosed);
}

TEST_F(CancelPendingTest, UnreadableOrForeignValuesAreLeftAlone) {
    std::vector<uint8_t> ours = Value({Nt + Ours, u""});
    SetPending(ours, REG_BINARY);
    EXPECT_TRUE(Cancel().empty());
    EXPECT_EQ(Pending(), ours);

    SetPending(ours);
    for (const char* call : {"RegOpenKeyExA", "RegQueryValueExW", "GlobalAlloc"}) {
        sim::M().faults.clear();
        sim::FailCall(call, ERROR_ACCESS_DENIED, sim::CallCount(call) + 1);
        EXPECT_TRUE(Cancel().empty()) << call;
        EXPECT_EQ(Pending(), ours) << call;
        EXPECT_EQ(sim::LiveBlocks(), 0u) << call;
    }
    sim::M().faults.clear();
    // A value that grows between the size query and the read is not touched.
    int read = sim::CallCount("RegQueryValueExW") + 2;
    sim::M().onCall = [read](const std::string& call, int n) {
        if (call == "RegQueryValueExW" && n == read)
            sim::SetValue(sim::PendingRenamesKey, ValueName, REG_MULTI_SZ,
                          Value({Nt + Ours, u"", Nt + u"C:\\late.dll", u""}));
    };
    EXPECT_TRUE(Cancel().empty());
    sim::M().onCall = nullptr;
    EXPECT_EQ(Pending(), Value({Nt + Ours, u"", Nt + u"C:\\late.dll", u""}));

    int opened = sim::CallCount("RegOpenKeyExA");
    EXPECT_TRUE(Cancel(u"").empty());
    EXPECT_EQ(sim::CallCount("RegOpenKeyExA"), opened) << "an empty path opens nothing";
}
