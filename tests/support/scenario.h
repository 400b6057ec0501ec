// Support for the whole-verb scenarios: the machine states a verb meets (an
// earlier install, a running tray program, printers of ours and of others)
// and one run of a verb with what the tests assert on: the exit code, the log
// the run showed, and what it cost in virtual time and spooler stops.
#pragma once

#include "tests/support/test_machine.h"
#include "tray/tray_protocol.h"

#include <algorithm>
#include <string>
#include <vector>

namespace scenario {

const sim::Text SetupDir = u"C:\\Program Files\\Kestrovane\\setup\\";
const sim::Text TrayExe = u"C:\\Program Files\\Kestrovane\\kestray.exe";
const sim::Text MonitorDll = u"C:\\Windows\\system32\\ksvmon64.dll";
const sim::Text Staging = u"C:\\Windows\\system32\\spool\\drivers\\x64\\";
const sim::Text Store = u"C:\\Windows\\system32\\spool\\drivers\\x64\\3\\";
const sim::Text RunKey = u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const sim::Text PendingValue = u"PendingFileRenameOperations";
const sim::Text OtherDriver = u"Vendor PCL";

struct VerbRun {
    int exitCode = 0;
    bool dialogShown = false;
    std::vector<std::string> log; // as the dialog showed it; empty without one
    uint64_t virtualMs = 0;       // clock time the run took, waits and slow calls alike
    int spoolerStops = 0;
};

// Runs "ksvinstall.exe <verb>" and checks what every whole verb must leave:
// nothing on the heaps, no handle open, the spooler running, no harm done
// to the machine. With `shift`
// the run shows its log (a held Shift changes nothing else).
inline VerbRun RunVerb(const std::string& verb, bool shift = true) {
    sim::Machine& m = sim::M();
    m.shiftDown = shift;
    m.dialogs.clear();
    DWORD tick = m.tick;
    int stops = m.spooler.stopsSeen;
    m.pathCalls.clear();
    std::vector<sim::Text> queued = QueuedTexts();
    VerbRun run;
    run.exitCode = RunCommand("ksvinstall.exe " + verb);
    run.virtualMs = static_cast<DWORD>(sim::M().tick - tick);
    run.spoolerStops = sim::M().spooler.stopsSeen - stops;
    run.dialogShown = !sim::M().dialogs.empty();
    if (run.dialogShown)
        run.log = SplitLines(Ascii(sim::M().dialogs.back().itemText));
    sim::M().shiftDown = false;
    EXPECT_EQ(sim::LiveBlocks(), 0u) << verb << ": everything was released";
    EXPECT_EQ(sim::BadFrees(), 0) << verb;
    EXPECT_EQ(sim::M().spooler.state, static_cast<DWORD>(SERVICE_RUNNING)) << verb;
    EXPECT_EQ(BrokenRegistrations(), "") << verb;
    std::string harm = MachineHarm(run.exitCode, queued);
    EXPECT_EQ(harm, "") << verb;
    for (sim::HandleKind kind :
         {sim::HandleKind::ScManager, sim::HandleKind::Service, sim::HandleKind::File,
          sim::HandleKind::Mutex, sim::HandleKind::Process, sim::HandleKind::Thread,
          sim::HandleKind::Printer, sim::HandleKind::Key})
        EXPECT_EQ(sim::OpenHandles(kind), 0u) << verb << ": handle kind " << static_cast<int>(kind);
    return run;
}

// The tray program as it behaves: it holds the mutex, owns its window and
// ends as soon as the quit message reaches it.
inline void ScriptTray(const sim::Text& path = TrayExe) {
    sim::ProgramScript s;
    s.mutexName = sim::Widen(TrayMutexName);
    s.windowClass = TrayWindowClass;
    s.windowTitle = u"Kestrovane";
    s.quitMessage = TrayQuitMessage;
    sim::M().programs[sim::Upper(path)] = s;
}

inline bool TrayRunning() {
    for (const sim::Process& p : sim::M().processes)
        if (p.running && sim::Upper(p.image) == sim::Upper(TrayExe))
            return true;
    return false;
}

// The Run value's text, or "(none)".
inline std::string RunValue() {
    sim::RegValue* v = sim::FindValue(RunKey, u"KestrovaneTray");
    if (!v)
        return "(none)";
    sim::Text text;
    for (size_t i = 0; i + 1 < v->data.size(); i += 2)
        text.push_back(static_cast<char16_t>(v->data[i] | (v->data[i + 1] << 8)));
    return Ascii(text.substr(0, text.find(u'\0')));
}

// The strings of the pending file rename operations; empty without the value.
inline std::vector<std::string> PendingOperations() {
    std::vector<std::string> out;
    if (sim::RegValue* v = sim::FindValue(sim::PendingRenamesKey, PendingValue))
        for (const sim::Text& s : sim::MultiStrings(*v))
            out.push_back(Ascii(s));
    return out;
}

inline void SetPendingOperations(const std::vector<sim::Text>& strings) {
    sim::SetValue(sim::PendingRenamesKey, PendingValue, REG_MULTI_SZ,
                  sim::MultiStringBytes(strings));
}

// The package placed and installed by a first run, with the tray program
// running as the install left it. The run's own costs are not the test's.
inline void InstalledMachine(int build = 2501) {
    PlacePackage(build);
    ScriptTray();
    VerbRun first = RunVerb("install");
    EXPECT_EQ(first.exitCode, 1) << "the first install";
}

inline sim::Printer& OurPrinter(const sim::Text& name, const std::string& subKey = "") {
    sim::Printer& p = sim::AddPrinter(name, u"Kestrovane printer", u"Kestrovane:");
    if (!subKey.empty())
        sim::SetPrinterString(p, u"DsUser", u"SubKey", subKey);
    return p;
}

inline sim::Printer& OtherPrinter(const sim::Text& name, const sim::Text& port) {
    if (!sim::FindDriver(OtherDriver)) {
        sim::Driver d;
        d.name = OtherDriver;
        d.environment = u"Windows x64";
        sim::M().drivers.push_back(d);
    }
    return sim::AddPrinter(name, OtherDriver, port);
}

inline std::vector<std::string> PrinterNames() {
    std::vector<std::string> names;
    for (const sim::Printer& p : sim::M().printers)
        names.push_back(Ascii(p.name));
    return names;
}

// What every install and uninstall log starts with on this machine.
inline std::vector<std::string> ContextLines() {
    return {"Kestrovane 2501", ">Check Spooler",
            "PrinterDriverDirectory(1):C:\\Windows\\system32\\spool\\drivers\\x64",
            "PrinterDriverDirectory(2):C:\\Windows\\system32\\spool\\drivers\\x64\\"};
}

// Whether `block` stands in `log` as consecutive lines.
inline bool HasBlock(const std::vector<std::string>& log, const std::vector<std::string>& block) {
    for (size_t i = 0; i + block.size() <= log.size(); ++i)
        if (std::equal(block.begin(), block.end(), log.begin() + static_cast<long>(i)))
            return true;
    return false;
}

inline std::vector<std::string> Join(std::vector<std::string> a,
                                     const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace scenario
