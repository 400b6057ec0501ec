#include "tests/support/test_machine.h"

#include "install/front_end.h"

void MachineTest::SetUp() {
    sim::Reset();
}

void MachineTest::TearDown() {
    EXPECT_EQ(sim::BadFrees(), 0) << "a block was freed twice";
}

std::string Ascii(const WCHAR* text) {
    std::string out;
    for (size_t i = 0; text && text[i]; ++i)
        out.push_back(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
    return out;
}

std::string Ascii(const sim::Text& text) {
    return sim::Narrow(text);
}

std::string LogText(const InstallContext& context) {
    return Ascii(Text(context.LogText));
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::vector<std::string> LogLines(const InstallContext& context) {
    return SplitLines(LogText(context));
}

int RunCommand(const std::string& commandLine) {
    sim::M().commandLine = sim::Widen(commandLine);
    return RunInstaller(reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x400000)));
}

void PlacePackage(int build) {
    const sim::Text setup = u"C:\\Program Files\\Kestrovane\\setup\\";
    sim::PutFile(setup + u"ksvinstall.exe", "installer", 2501);
    sim::PutFile(setup + u"ksvmon64.dll", "port monitor", build);
    sim::PutFile(setup + u"ksvdrv64.dll", "printer driver", build);
    sim::PutFile(setup + u"ksvui64.dll", "driver user interface", build);
    sim::PutFile(setup + u"ksvhelp.chm", "help");
    sim::PutFile(u"C:\\Program Files\\Kestrovane\\kestray.exe", "tray program", build);
}

namespace {

bool IsFullPath(const sim::Text& p) {
    bool drive = p.size() >= 3 && p[1] == u':' && p[2] == u'\\';
    return drive || (p.size() > 2 && p.compare(0, 2, u"\\\\") == 0);
}

// A full path whose parts are all names: no ".", "..", empty part or trailing separator.
bool IsCleanPath(const sim::Text& p) {
    if (!IsFullPath(p))
        return false;
    size_t start = p[1] == u':' ? 3 : 2;
    for (;;) {
        size_t end = p.find_first_of(u"\\/", start);
        sim::Text part = p.substr(start, end == sim::Text::npos ? sim::Text::npos : end - start);
        if (part.empty() || part == u"." || part == u"..")
            return false;
        if (end == sim::Text::npos)
            return true;
        start = end + 1;
    }
}

// The driver's files where the installer stages them for the spooler.
std::vector<sim::Text> StagedFiles() {
    std::vector<sim::Text> staged;
    for (const char16_t* name : {u"ksvdrv64.dll", u"ksvui64.dll", u"ksvhelp.chm"})
        staged.push_back(sim::M().spoolDriverRoot + u"\\x64\\" + name);
    return staged;
}

sim::Text MonitorFile() {
    return sim::M().systemDir + u"\\ksvmon64.dll";
}

// The files a run of ours may write or delete: the monitor DLL, the driver's
// files where they are staged and in the store, the tray program.
std::vector<sim::Text> OwnFiles() {
    std::vector<sim::Text> own = StagedFiles();
    for (const char16_t* name : {u"ksvdrv64.dll", u"ksvui64.dll", u"ksvhelp.chm"})
        own.push_back(sim::DriverStore() + u"\\" + name);
    own.push_back(u"C:\\Program Files\\Kestrovane\\kestray.exe");
    own.push_back(MonitorFile());
    return own;
}

bool IsOwnFile(const sim::Text& path) {
    for (const sim::Text& own : OwnFiles())
        if (sim::Upper(own) == sim::Upper(path))
            return true;
    return false;
}

bool QueuedForDeletion(const sim::Text& path) {
    std::vector<sim::Text> ops = QueuedTexts();
    for (size_t i = 0; i + 1 < ops.size(); i += 2)
        if (sim::Upper(ops[i]) == sim::Upper(u"\\??\\" + path) && ops[i + 1].empty())
            return true;
    return false;
}

} // namespace

std::vector<sim::Text> QueuedTexts() {
    sim::RegValue* v = sim::FindValue(sim::PendingRenamesKey, u"PendingFileRenameOperations");
    return v ? sim::MultiStrings(*v) : std::vector<sim::Text>();
}

std::string MachineHarm(int exitCode, const std::vector<sim::Text>& queued) {
    auto wasQueued = [&queued](const sim::Text& path) {
        for (const sim::Text& q : queued)
            if (sim::Upper(q) == sim::Upper(path) || sim::Upper(q) == sim::Upper(u"\\??\\" + path))
                return true;
        return false;
    };
    std::string harm;
    auto note = [&harm](const std::string& what) {
        if (harm.find(what) == std::string::npos)
            harm += (harm.empty() ? "" : "; ") + what;
    };
    for (const sim::PathCall& c : sim::M().pathCalls) {
        std::string shown = c.call + "(" + Ascii(c.path) + ")";
        if (c.use == sim::PathUse::Read && wasQueued(c.path))
            continue; // looking at what another program queued
        if (!IsCleanPath(c.path))
            note(shown + " not a clean full path");
        else if (c.directory)
            note(shown + " a directory");
        else if (c.use != sim::PathUse::Read && !IsOwnFile(c.path))
            note(shown + " not our file");
    }
    if (sim::RegValue* run = sim::FindValue(
            u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", u"KestrovaneTray")) {
        sim::Text value;
        for (size_t i = 0; i + 1 < run->data.size() && (run->data[i] || run->data[i + 1]); i += 2)
            value += static_cast<char16_t>(run->data[i] | (run->data[i + 1] << 8));
        if (value.size() >= 2 && value.front() == u'"' && value.back() == u'"')
            value = value.substr(1, value.size() - 2);
        if (!IsCleanPath(value))
            note("Run value " + Ascii(value) + " not a clean full path");
    }
    // An install keeps the monitor DLL it registered; an uninstall keeps nothing.
    std::vector<sim::Text> gone = StagedFiles();
    if (exitCode == 2)
        gone.push_back(MonitorFile());
    if (exitCode == 1 || exitCode == 2)
        for (const sim::Text& own : gone)
            if (sim::FileExists(own) && !QueuedForDeletion(own))
                note("exit " + std::to_string(exitCode) + " leaves " + Ascii(own));
    return harm;
}
