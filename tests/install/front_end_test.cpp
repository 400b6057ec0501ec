#include "install/front_end.h"

#include "tests/support/test_machine.h"

#include <algorithm>
#include <climits>

namespace {

const UINT SysCommand = 274;
const WPARAM ScClose = 61536;
// On a machine without a Run value, stopping the tray program pauses once.
const uint64_t StopTrayPause = 1000;

std::string Decimal(HWND window) {
    return std::to_string(static_cast<intptr_t>(reinterpret_cast<uintptr_t>(window)));
}

// A window whose handle is the given value, as the front end reads it back.
HWND WindowAt(intptr_t value) {
    sim::M().nextHandle = static_cast<uintptr_t>(value);
    return sim::AddWindow(u"SetupWindow", u"Setup");
}

size_t ServiceHandlesOpen() {
    return sim::OpenHandles(sim::HandleKind::ScManager) +
           sim::OpenHandles(sim::HandleKind::Service);
}

// The owner of the dialog that a Shift-held install shows.
HWND DialogOwner(const std::string& commandLine) {
    sim::M().dialogs.clear();
    sim::M().shiftDown = true;
    int code = RunCommand(commandLine);
    EXPECT_EQ(code, 1) << commandLine;
    EXPECT_EQ(sim::M().dialogs.size(), 1u) << commandLine;
    return sim::M().dialogs.empty() ? nullptr : sim::M().dialogs.back().owner;
}

// Windows are looked up by handle each time: adding one may move the others.
sim::Window& WindowOf(HWND handle) {
    for (sim::Window& w : sim::M().windows)
        if (w.handle == handle)
            return w;
    ADD_FAILURE() << "no such window";
    return sim::M().windows.front();
}

void CloseOnRequest(sim::Window& w, const sim::PostedMessage& m) {
    if (m.message == SysCommand && m.wParam == ScClose)
        w.alive = false;
}

HWND HelpWindow(const sim::Text& className, const sim::Text& title, bool closes) {
    HWND handle = sim::AddWindow(className, title);
    if (closes)
        WindowOf(handle).onPost = CloseOnRequest;
    return handle;
}

} // namespace

using FrontEndTest = PackageTest;

TEST_F(FrontEndTest, VerbsInAnyCaseExceptTheExactOne) {
    const struct {
        const char* verb;
        int exitCode;
        bool context;
    } cases[] = {
        {"in", 1, true},          {"install", 1, true},    {"serverinstall", 1, true},
        {"INSTALL", 1, true},     {"Install", 1, true},    {"ServerInstall", 1, true},
        {"in_notray", 1, true},   {"IN_NOTRAY", 1, true},  {"un", 2, true},
        {"uninstall", 2, true},   {"UnInstall", 2, true},  {"UN", 2, true},
        {"DEF.SET", 6, false},    {"Def.set", 6, false},   {"installx", 6, false},
        {"\"\"", 6, false},       {"in-notray", 6, false}, {"unin", 6, false},
        {"removetray", 6, false},
    };
    for (const auto& c : cases) {
        sim::Reset();
        PlacePackage();
        sim::M().shiftDown = true; // a run with a context then shows its log
        std::string line = std::string("ksvinstall.exe ") + c.verb;
        EXPECT_EQ(RunCommand(line), c.exitCode) << line;
        EXPECT_EQ(sim::M().dialogs.size(), c.context ? 1u : 0u) << line;
        EXPECT_EQ(sim::LiveBlocks(), 0u) << line;
        EXPECT_EQ(ServiceHandlesOpen(), 0u) << line;
        EXPECT_EQ(sim::M().dllDirectories, static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32))
            << line;
    }
}

TEST_F(FrontEndTest, NoVerbTouchesNothing) {
    for (const char* line :
         {"\"C:\\Program Files\\Kestrovane\\setup\\ksvinstall.exe\"", "ksvinstall.exe   ", ""}) {
        sim::Reset();
        PlacePackage();
        EXPECT_EQ(RunCommand(line), 6) << line;
        EXPECT_EQ(sim::CallCount("OpenSCManagerW"), 0);
        EXPECT_EQ(sim::CallCount("IsWindow"), 0);
        EXPECT_EQ(sim::CallCount("FindWindowW"), 0);
        EXPECT_EQ(sim::LiveBlocks(), 0u) << "the argument block is released";
    }
}

// DLLs loaded on demand come from the system directory only, never from the
// folder the installer was started in; without that, nothing runs.
TEST_F(FrontEndTest, DllSearchIsLimitedBeforeAnythingElse) {
    sim::M().recordCalls = true;
    EXPECT_EQ(RunCommand("ksvinstall.exe onInit"), 102);
    ASSERT_FALSE(sim::M().calls.empty());
    EXPECT_EQ(sim::M().calls[0], "SetDefaultDllDirectories");
    sim::Reset();
    PlacePackage();
    sim::FailCall("SetDefaultDllDirectories", ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RunCommand("ksvinstall.exe install"), 6);
    EXPECT_EQ(sim::CallCount("GetCommandLineW"), 0);
}

TEST_F(FrontEndTest, UnsplittableCommandLineCountsAsNoVerb) {
    sim::FailCall("CommandLineToArgvW", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(RunCommand("ksvinstall.exe install"), 6);
    EXPECT_EQ(sim::CallCount("OpenSCManagerW"), 0);
    EXPECT_EQ(sim::LiveBlocks(), 0u);
}

TEST_F(FrontEndTest, ThirdArgumentNamesTheOwnerWindow) {
    HWND setup = sim::AddWindow(u"SetupWindow", u"Setup");
    std::string handle = Decimal(setup);
    EXPECT_EQ(DialogOwner("ksvinstall.exe install " + handle), setup);
    EXPECT_EQ(DialogOwner("ksvinstall.exe install " + handle + " extra"), nullptr)
        << "a fourth argument disables the owner";
    EXPECT_EQ(DialogOwner("ksvinstall.exe install window"), nullptr);
    EXPECT_EQ(DialogOwner("ksvinstall.exe install 12345678"), nullptr) << "no such window";
    EXPECT_EQ(DialogOwner("ksvinstall.exe install -" + handle), nullptr);

    // The number is read as wcstol reads it.
    EXPECT_EQ(DialogOwner("ksvinstall.exe install \"  \t" + handle + "\""), setup);
    EXPECT_EQ(DialogOwner("ksvinstall.exe install +" + handle), setup);
    EXPECT_EQ(DialogOwner("ksvinstall.exe install " + handle + "junk"), setup);
    EXPECT_EQ(DialogOwner("ksvinstall.exe install 0" + handle), setup);

    // Options are taken out first: the owner is the last of what is left.
    EXPECT_EQ(DialogOwner("ksvinstall.exe install /log C:\\k.log " + handle), setup);
    EXPECT_EQ(DialogOwner("ksvinstall.exe install " + handle + " /LOG C:\\k.log"), setup);
    EXPECT_EQ(DialogOwner("ksvinstall.exe install " + handle + " x /log C:\\k.log"), nullptr);

    sim::M().shiftDown = true;
    sim::M().dialogs.clear();
    EXPECT_EQ(RunCommand("ksvinstall.exe un " + handle), 2);
    ASSERT_EQ(sim::M().dialogs.size(), 1u);
    EXPECT_EQ(sim::M().dialogs[0].owner, setup);
}

TEST_F(FrontEndTest, OwnerNumberBeyondThirtyTwoBitsIsClamped) {
    HWND highest = WindowAt(INT_MAX);
    EXPECT_EQ(DialogOwner("ksvinstall.exe install 99999999999"), highest);
    EXPECT_EQ(DialogOwner("ksvinstall.exe install 2147483647"), highest);

    // Negative values are sign-extended to the pointer's width.
    HWND lowest = WindowAt(INT_MIN);
    EXPECT_EQ(DialogOwner("ksvinstall.exe install -99999999999"), lowest);
    HWND minusOne = WindowAt(-1);
    EXPECT_EQ(DialogOwner("ksvinstall.exe install -1"), minusOne);
}

TEST_F(FrontEndTest, ErrorsGiveOneHundredAndTheDialog) {
    sim::FailCall("GetPrinterDriverDirectoryW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(RunCommand("ksvinstall.exe install"), 100);
    ASSERT_EQ(sim::M().dialogs.size(), 1u);
    const sim::DialogRecord& shown = sim::M().dialogs[0];
    EXPECT_EQ(Ascii(shown.title), "Kestrovane build 2501- Install error log!");
    std::vector<std::string> lines = SplitLines(Ascii(shown.itemText));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Kestrovane 2501");
    EXPECT_EQ(lines[2], "Error(6): Can`t retrieve printer driver directory. - (Access is denied.)");
    EXPECT_NE(std::find(lines.begin(), lines.end(), ">>0010"), lines.end());
    EXPECT_EQ(Ascii(shown.itemText).find(">>0020"), std::string::npos);
    EXPECT_EQ(shown.owner, nullptr);
    EXPECT_EQ(sim::LiveBlocks(), 0u);

    // However the dialog is closed, and for the uninstall too.
    for (sim::DialogClose close : {sim::DialogClose::Cancel, sim::DialogClose::Enter}) {
        sim::Reset();
        PlacePackage();
        sim::FailCall("GetSystemDirectoryW", ERROR_ACCESS_DENIED);
        sim::M().dialogClose = close;
        EXPECT_EQ(RunCommand("ksvinstall.exe install"), 100);
        sim::FailCall("GetSystemDirectoryW", ERROR_ACCESS_DENIED, 2);
        EXPECT_EQ(RunCommand("ksvinstall.exe uninstall"), 100);
        EXPECT_EQ(sim::M().dialogs.size(), 2u);
        EXPECT_EQ(sim::LiveBlocks(), 0u);
    }
}

TEST_F(FrontEndTest, ShiftShowsTheDialogAndKeepsTheExitCode) {
    EXPECT_EQ(RunCommand("ksvinstall.exe install"), 1);
    EXPECT_TRUE(sim::M().dialogs.empty());

    sim::M().shiftDown = true;
    EXPECT_EQ(RunCommand("ksvinstall.exe install"), 1);
    ASSERT_EQ(sim::M().dialogs.size(), 1u);
    EXPECT_EQ(Ascii(sim::M().dialogs[0].title), "Kestrovane build 2501- Install log.");
    std::vector<std::string> lines = SplitLines(Ascii(sim::M().dialogs[0].itemText));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Kestrovane 2501");
    EXPECT_NE(std::find(lines.begin(), lines.end(), ">>0010"), lines.end());
    EXPECT_EQ(std::find(lines.begin(), lines.end(), ">>0020"), lines.end());

    sim::M().dialogClose = sim::DialogClose::Cancel;
    EXPECT_EQ(RunCommand("ksvinstall.exe uninstall"), 2);
    ASSERT_EQ(sim::M().dialogs.size(), 2u);
    std::string uninstallLog = Ascii(sim::M().dialogs[1].itemText);
    EXPECT_EQ(uninstallLog.find(">>00"), std::string::npos) << "markers of the install only";
    EXPECT_EQ(sim::LiveBlocks(), 0u);
}

TEST_F(FrontEndTest, HelpWindowIsClosedBeforeTheInstall) {
    sim::M().recordCalls = true;
    HWND help = HelpWindow(u"HH Parent", u"Kestrovane Help", true);
    HWND other = HelpWindow(u"HH Parent", u"Other Help", true);
    HWND notHelp = HelpWindow(u"Notepad", u"Kestrovane Help", true);

    EXPECT_EQ(RunCommand("ksvinstall.exe install"), 1);
    const sim::Window& closed = WindowOf(help);
    EXPECT_FALSE(closed.alive);
    ASSERT_EQ(closed.posted.size(), 1u);
    EXPECT_EQ(closed.posted[0].message, SysCommand);
    EXPECT_EQ(closed.posted[0].wParam, ScClose);
    EXPECT_EQ(closed.posted[0].lParam, 0);
    EXPECT_TRUE(WindowOf(other).posted.empty());
    EXPECT_TRUE(WindowOf(other).alive);
    EXPECT_TRUE(WindowOf(notHelp).posted.empty());
    EXPECT_EQ(sim::M().sleptMs, 50u + StopTrayPause);

    const std::vector<std::string>& calls = sim::M().calls;
    auto post = std::find(calls.begin(), calls.end(), "PostMessageW");
    auto context = std::find(calls.begin(), calls.end(), "OpenSCManagerW");
    EXPECT_LT(post - calls.begin(), context - calls.begin()) << "closed before the run starts";
}

TEST_F(FrontEndTest, EveryHelpWindowOfOursIsClosedAlsoBeforeTheUninstall) {
    HWND first = HelpWindow(u"HH Parent", u"Kestrovane Help", true);
    HWND second = HelpWindow(u"hh parent", u"KESTROVANE HELP", true);
    EXPECT_EQ(RunCommand("ksvinstall.exe uninstall"), 2);
    EXPECT_FALSE(WindowOf(first).alive);
    EXPECT_FALSE(WindowOf(second).alive);
    EXPECT_EQ(sim::M().sleptMs, 100u + StopTrayPause);

    // Verbs without a context leave help windows alone.
    sim::Reset();
    PlacePackage();
    HWND untouched = HelpWindow(u"HH Parent", u"Kestrovane Help", true);
    EXPECT_EQ(RunCommand("ksvinstall.exe removetray"), 6);
    EXPECT_TRUE(WindowOf(untouched).posted.empty());
}

TEST_F(FrontEndTest, HelpWindowThatNeverClosesCostsAboutFiveSeconds) {
    HWND stubborn = HelpWindow(u"HH Parent", u"Kestrovane Help", false);
    EXPECT_EQ(RunCommand("ksvinstall.exe in"), 1);
    EXPECT_TRUE(WindowOf(stubborn).alive);
    EXPECT_EQ(WindowOf(stubborn).posted.size(), 100u);
    EXPECT_EQ(sim::M().sleptMs, 5000u + StopTrayPause);
    EXPECT_EQ(sim::LiveBlocks(), 0u);
}

namespace {

const sim::Text LogPath = u"C:\\Setup\\k.log";

std::string FileBytes(const sim::Text& path) {
    sim::File* f = sim::FindFile(path);
    return f ? std::string(f->bytes.begin(), f->bytes.end()) : std::string();
}

} // namespace

// Options after the verb, in any order and case; what is left reads as before.
TEST_F(FrontEndTest, OptionsAfterTheVerb) {
    const struct {
        const char* line;
        bool errors; // the run logs an error
        int exitCode;
        bool dialog;
        bool logFile;
    } cases[] = {
        {"install /quiet", false, 1, false, false},
        {"install /QUIET", true, 100, false, false},
        {"UnInstall /Quiet", true, 100, false, false},
        {"install /log C:\\Setup\\k.log", false, 1, true, true},
        {"in_notray /LOG C:\\Setup\\k.log /quiet", true, 100, false, true},
        {"install /log C:/Setup/k.log /quiet /quiet", false, 1, false, true},
        {"onChkDrv /quiet /log C:\\Setup\\k.log", false, 3, false, false},
        {"def.set /log C:\\Setup\\k.log", false, 4, false, false},
        {"removetray /quiet", false, 6, false, false},
        // Command lines the installer does not know: nothing is done.
        {"install /verbose", false, 6, false, false},
        {"install /log", false, 6, false, false},
        {"install /log /quiet C:\\Setup\\k.log", false, 6, false, false},
        {"install /log k.log", false, 6, false, false},
        {"install /log \"\"", false, 6, false, false},
        {"install /quiet/log C:\\Setup\\k.log", false, 6, false, false},
        {"/quiet install", false, 6, false, false},
        {"def.set /x", false, 6, false, false},
        {"onInit /", false, 6, false, false},
        // A log file that cannot be opened: known before anything is done.
        {"uninstall /quiet /log \\\\server\\share\\k.log", false, 6, false, false},
    };
    for (const auto& c : cases) {
        sim::Reset();
        PlacePackage();
        sim::MakeDirectory(u"C:\\Setup");
        sim::M().shiftDown = true;
        if (c.errors)
            sim::FailCall("GetSystemDirectoryW", ERROR_ACCESS_DENIED);
        std::string line = std::string("ksvinstall.exe ") + c.line;
        EXPECT_EQ(RunCommand(line), c.exitCode) << line;
        EXPECT_EQ(sim::M().dialogs.size(), c.dialog ? 1u : 0u) << line;
        EXPECT_EQ(sim::FileExists(LogPath), c.logFile) << line;
        if (c.exitCode == 6) {
            EXPECT_EQ(sim::CallCount("OpenSCManagerW"), 0) << line << ": nothing done";
        }
        EXPECT_EQ(sim::LiveBlocks(), 0u) << line;
    }
}

TEST_F(FrontEndTest, LogFileHoldsTheLinesTheDialogShows) {
    sim::MakeDirectory(u"C:\\Setup");
    sim::PutFile(LogPath, "an older log, longer than the new one will be ... ... ... ... ... ...");
    sim::M().shiftDown = true;
    EXPECT_EQ(RunCommand("ksvinstall.exe INSTALL /log C:\\Setup\\k.log"), 1);
    ASSERT_EQ(sim::M().dialogs.size(), 1u);
    std::string shown = Ascii(sim::M().dialogs[0].itemText);
    EXPECT_EQ(FileBytes(LogPath), "\xEF\xBB\xBF"
                                  "2026-12-08T04:17:18 INSTALL - Kestrovane build 2501\r\n" +
                                      shown);
    EXPECT_EQ(sim::OpenHandles(sim::HandleKind::File), 0u);

    // Printer names beyond ASCII, a lone surrogate among them, in UTF-8.
    sim::AddPrinter(u"B\u00fcro \u20ac \U0001D11E", u"Kestrovane printer", u"Kestrovane:");
    sim::AddPrinter(sim::Text(u"x") + char16_t(0xD800) + u"y", u"Kestrovane printer",
                    u"Kestrovane:");
    sim::M().localTime = SYSTEMTIME{987, 1, 0, 2, 3, 4, 5, 6};
    EXPECT_EQ(RunCommand("ksvinstall.exe uninstall /quiet /log C:\\Setup\\k.log"), 2);
    std::string bytes = FileBytes(LogPath);
    EXPECT_EQ(bytes.rfind("\xEF\xBB\xBF"
                          "0987-01-02T03:04:05 uninstall - Kestrovane build 2501\r\n"
                          "Kestrovane 2501\r\n",
                          0),
              0u);
    EXPECT_NE(bytes.find(">DeletePrinter(B\xC3\xBCro \xE2\x82\xAC \xF0\x9D\x84\x9E)\r\n"),
              std::string::npos);
    EXPECT_NE(bytes.find(">DeletePrinter(x\xEF\xBF\xBDy)\r\n"), std::string::npos);
}

TEST_F(FrontEndTest, LogThatCannotBeWrittenChangesNothingElse) {
    sim::MakeDirectory(u"C:\\Setup");
    for (int i = 0; i < 100; ++i) // a log of more than one block
        sim::AddPrinter(u"Queue of ours number " + sim::Widen(std::to_string(i)),
                        u"Kestrovane printer", u"Kestrovane:");
    // The disk fills up behind the first block: no cut log is left behind.
    sim::FailCall("WriteFile", ERROR_DISK_FULL, 2);
    EXPECT_EQ(RunCommand("ksvinstall.exe uninstall /quiet /log C:\\Setup\\k.log"), 2);
    EXPECT_FALSE(sim::FileExists(LogPath));
    EXPECT_EQ(sim::CallCount("WriteFile"), 2) << "not retried";
    EXPECT_EQ(sim::LiveBlocks(), 0u);
}

// Run by a service or as SYSTEM: a dialog there would wait for ever.
TEST_F(FrontEndTest, NoDialogOnAWindowStationNobodySees) {
    sim::M().windowStationVisible = false;
    sim::M().shiftDown = true;
    EXPECT_EQ(RunCommand("ksvinstall.exe install"), 1);
    sim::FailCall("GetSystemDirectoryW", ERROR_ACCESS_DENIED,
                  sim::CallCount("GetSystemDirectoryW") + 1);
    EXPECT_EQ(RunCommand("ksvinstall.exe uninstall /log C:\\k.log"), 100);
    EXPECT_TRUE(sim::FileExists(u"C:\\k.log"));
    EXPECT_TRUE(sim::M().dialogs.empty()) << "no dialog that nobody can close";

    // When the window station cannot be asked, no dialog either.
    sim::M().windowStationVisible = true;
    PlacePackage(); // the uninstall took the tray program with it
    for (const char* call : {"GetProcessWindowStation", "GetUserObjectInformationW"}) {
        sim::FailCall(call, ERROR_ACCESS_DENIED, sim::CallCount(call) + 1);
        EXPECT_EQ(RunCommand("ksvinstall.exe install"), 1) << call;
        EXPECT_TRUE(sim::M().dialogs.empty()) << call;
    }
    EXPECT_EQ(RunCommand("ksvinstall.exe install"), 1);
    EXPECT_EQ(sim::M().dialogs.size(), 1u);
}
