#include "tests/support/test_machine.h"

#include "install/front_end.h"
#include "tray/tray_protocol.h"

#include <functional>

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
    sim::M().programs[u"C:\\PROGRAM FILES\\KESTROVANE\\KESTRAY.EXE"] = TrayBehaviour();
}

sim::ProgramScript TrayBehaviour(DWORD quitDelayMs) {
    sim::ProgramScript s;
    s.mutexName = sim::Widen(TrayMutexName);
    s.windowClass = TrayWindowClass;
    s.windowTitle = u"Kestrovane";
    s.quitMessage = TrayQuitMessage;
    s.quitDelayMs = quitDelayMs;
    s.quitEvent = TrayQuitEventPrefix;
    s.singleInstance = true;
    return s;
}

std::string BrokenRegistrations() {
    std::string broken;
    for (const sim::Monitor& m : sim::M().monitors)
        if (m.name == u"Kestrovane:" && !sim::FileExists(sim::M().systemDir + u"\\" + m.dll))
            broken += "monitor registered without " + Ascii(m.dll) + "; ";
    if (const sim::Driver* d = sim::FindDriver(u"Kestrovane printer"))
        for (const sim::Text& file : {d->driverPath, d->dataFile, d->configFile, d->helpFile})
            if (!file.empty() && !sim::FileExists(file))
                broken += "driver registered without " + Ascii(file) + "; ";
    return broken;
}

namespace {

// A full path whose parts are all names: no ".", "..", empty part or trailing separator.
bool IsCleanPath(const sim::Text& p) {
    bool drive = p.size() >= 3 && p[1] == u':' && p[2] == u'\\';
    if (!drive && p.compare(0, 2, u"\\\\") != 0)
        return false;
    for (size_t start = drive ? 3 : 2, end = 0; end != sim::Text::npos; start = end + 1) {
        end = p.find_first_of(u"\\/", start);
        sim::Text part = p.substr(start, end == sim::Text::npos ? end : end - start);
        if (part.empty() || part == u"." || part == u"..")
            return false;
    }
    return true;
}

bool Listed(const std::vector<sim::Text>& texts, const sim::Text& text) {
    for (const sim::Text& t : texts)
        if (sim::Upper(t) == sim::Upper(text))
            return true;
    return false;
}

bool NamedOnCommandLine(const sim::Text& path) {
    return sim::Upper(sim::M().commandLine).find(sim::Upper(path)) != sim::Text::npos;
}

} // namespace

std::string MachineDigest(const sim::Text& except) {
    std::string d;
    for (const auto& f : sim::M().files)
        if (f.first != sim::Upper(except))
            d += Ascii(f.first) + "=" +
                 std::to_string(std::hash<std::string>()(
                     std::string(f.second.bytes.begin(), f.second.bytes.end()))) +
                 ";";
    for (const sim::Monitor& m : sim::M().monitors)
        d += "monitor " + Ascii(m.name) + ";";
    for (const sim::Driver& v : sim::M().drivers)
        d += "driver " + Ascii(v.name) + ";";
    for (const sim::Printer& p : sim::M().printers)
        d += "printer " + Ascii(p.name + u" " + p.port + u" " + p.driver) + ";";
    for (const auto& k : sim::M().keys)
        for (const auto& v : k.second.values)
            d += Ascii(k.first + u"\\" + v.first) + ";";
    for (const sim::Process& p : sim::M().processes)
        d += "process " + Ascii(p.image) + (p.running ? " running;" : ";");
    return d + "stops " + std::to_string(sim::M().spooler.stopsSeen);
}

std::vector<sim::Text> QueuedTexts() {
    sim::RegValue* v = sim::FindValue(sim::PendingRenamesKey, u"PendingFileRenameOperations");
    return v ? sim::MultiStrings(*v) : std::vector<sim::Text>();
}

std::string MachineHarm(int exitCode, const std::vector<sim::Text>& queued) {
    const sim::Machine& m = sim::M();
    // Ours: the staged driver files, then the monitor DLL, the driver store's
    // files and the tray program.
    std::vector<sim::Text> own;
    for (const sim::Text& dir : {m.spoolDriverRoot + u"\\x64\\", sim::DriverStore() + u"\\"})
        for (const char16_t* name : {u"ksvdrv64.dll", u"ksvui64.dll", u"ksvhelp.chm"})
            own.push_back(dir + name);
    own.insert(own.begin() + 3, m.systemDir + u"\\ksvmon64.dll");
    own.push_back(u"C:\\Program Files\\Kestrovane\\kestray.exe");
    // The spooler's copies of our driver files: in a folder below the store.
    const sim::Text store = sim::Upper(sim::DriverStore() + u"\\");
    auto copy = [&own, &store](const sim::Text& file) {
        sim::Text path = sim::Upper(file);
        return path.compare(0, store.size(), store) == 0 &&
               path.find(u'\\', store.size()) != sim::Text::npos &&
               Listed(own, store + path.substr(path.find_last_of(u'\\') + 1));
    };
    std::string harm;
    auto note = [&harm](const std::string& what) {
        if (harm.find(what) == std::string::npos)
            harm += (harm.empty() ? "" : "; ") + what;
    };
    for (const sim::PathCall& c : m.pathCalls) {
        std::string shown = c.call + "(" + Ascii(c.path) + ")";
        if (c.use == sim::PathUse::Read &&
            (Listed(queued, c.path) || Listed(queued, u"\\??\\" + c.path)))
            continue; // looking at what another program queued
        if (!IsCleanPath(c.path))
            note(shown + " not a clean full path");
        else if (c.directory)
            note(shown + " a directory");
        else if (c.use != sim::PathUse::Read && !Listed(own, c.path) && !copy(c.path) &&
                 !NamedOnCommandLine(c.path))
            note(shown + " not our file"); // a log file the user named is theirs to have
    }
    if (sim::RegValue* run = sim::FindValue(
            u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", u"KestrovaneTray")) {
        sim::Text value(reinterpret_cast<const char16_t*>(run->data.data()), run->data.size() / 2);
        value = value.substr(0, value.find(u'\0'));
        if (value.size() >= 2 && value.front() == u'"' && value.back() == u'"')
            value = value.substr(1, value.size() - 2);
        if (!IsCleanPath(value))
            note("Run value " + Ascii(value) + " not a clean full path");
    }
    // An install keeps the monitor DLL it registered and leaves its staged
    // copies at most to the restart.
    std::vector<sim::Text> ops = QueuedTexts();
    for (size_t i = 0; exitCode == 1 && i < 3; ++i) {
        bool queuedHere = false;
        for (size_t k = 0; k + 1 < ops.size(); k += 2)
            queuedHere |=
                ops[k + 1].empty() && sim::Upper(ops[k]) == sim::Upper(u"\\??\\" + own[i]);
        if (sim::FileExists(own[i]) && !queuedHere)
            note("exit 1 leaves " + Ascii(own[i]));
    }
    // An uninstall that says nothing waits for the restart leaves no driver
    // or monitor file of ours, nor the spooler's copy of a loaded one (Wine's
    // spooler keeps a deleted driver's files in its store itself).
    const std::vector<sim::Text> removed(own.begin(), own.begin() + (m.wineDriverDeletion ? 4 : 7));
    for (const auto& entry : m.files)
        if (exitCode == 2 && !entry.second.directory &&
            (Listed(removed, entry.first) || copy(entry.first)))
            note("exit 2 leaves " + Ascii(entry.second.path));
    return harm;
}
