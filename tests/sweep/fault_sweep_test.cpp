// The fault sweep: every verb scenario is run once to record each platform
// call it makes, then again once per recorded call with that one call
// failing, for each plausible Windows error of that call. Whatever fails,
// the run must not crash, leak or free twice, must end at log depth 0, must
// exit 100 exactly when it logged an error (and only with its verb's codes),
// must leave the spooler running. The machine must come out sound as well:
// other programs' operations for the next restart untouched, and a
// registered monitor or driver of ours with its files on disk. And whatever
// an install met, a clean install after it gives back every queue of ours
// whole, and no other. A crash sweep kills a reinstall at each of its calls
// and holds the same line.
// Whoever runs it (an administrator, or LocalSystem for a deployment), no
// tray program of ours runs where nobody sees it or with an installer's
// rights, none is asked to end that is not ours, and each logged-on user
// keeps a default on our queue.
#include "run/install_context.h"
#include "tray/tray_protocol.h"

#include "tests/support/test_machine.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

const sim::Text RunKey = u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const sim::Text Tray = u"C:\\Program Files\\Kestrovane\\kestray.exe";
const sim::Text SystemMonitor = u"C:\\Windows\\system32\\ksvmon64.dll";
const sim::Text Nt = u"\\??\\";
const sim::Text OtherDir = u"C:\\Other\\";
const sim::Text SettingsRoot = u"HKCU\\Software\\Vorland Software KFT\\Kestrovane\\Kestrovanes\\";

// Calls that cannot fail in a way a caller could see (or whose failure would
// only mean a program bug, like freeing a block twice).
const std::set<std::string> cannotFail = {"Sleep",
                                          "GetTickCount",
                                          "HeapFree",
                                          "GlobalFree",
                                          "LocalFree",
                                          "CloseHandle",
                                          "ClosePrinter",
                                          "CloseServiceHandle",
                                          "RegCloseKey",
                                          "GetCommandLineW",
                                          "IsWindow",
                                          "GetAsyncKeyState",
                                          "EndDialog",
                                          "SetDlgItemTextW",
                                          "SetWindowTextW",
                                          "HeapSize",
                                          "ReleaseMutex",
                                          "GetLocalTime",
                                          "WTSFreeMemory",
                                          "GetCurrentProcess",
                                          "DestroyEnvironmentBlock",
                                          "ClosePrivateNamespace",
                                          "DeleteBoundaryDescriptor"};
// Calls that fail only for arguments no caller gives.
const std::set<std::string> failOnlyForBadArguments = {"CompareStringOrdinal"};

const DWORD ERROR_MR_MID_NOT_FOUND = 317;
const DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;

// The errors a call can plausibly fail with on a real machine.
std::vector<DWORD> ErrorsOf(const std::string& call) {
    static const std::map<std::string, std::vector<DWORD>> table = {
        {"HeapAlloc", {ERROR_NOT_ENOUGH_MEMORY}},
        {"HeapReAlloc", {ERROR_NOT_ENOUGH_MEMORY}},
        {"GlobalAlloc", {ERROR_NOT_ENOUGH_MEMORY}},
        {"LocalAlloc", {ERROR_NOT_ENOUGH_MEMORY}},
        {"EnumPrintersW", {RPC_S_SERVER_UNAVAILABLE, ERROR_INSUFFICIENT_BUFFER}},
        {"EnumMonitorsW", {RPC_S_SERVER_UNAVAILABLE, ERROR_INSUFFICIENT_BUFFER}},
        {"EnumPrinterDriversW", {RPC_S_SERVER_UNAVAILABLE, ERROR_INSUFFICIENT_BUFFER}},
        {"GetPrinterDriverDirectoryW", {RPC_S_SERVER_UNAVAILABLE, ERROR_INSUFFICIENT_BUFFER}},
        {"GetPrinterW", {RPC_S_SERVER_UNAVAILABLE, ERROR_INSUFFICIENT_BUFFER}},
        {"GetPrinterDriverW", {RPC_S_SERVER_UNAVAILABLE, ERROR_INSUFFICIENT_BUFFER}},
        {"GetDefaultPrinterW", {ERROR_FILE_NOT_FOUND, ERROR_INSUFFICIENT_BUFFER}},
        {"GetPrinterDataA", {ERROR_MORE_DATA, ERROR_FILE_NOT_FOUND}},
        {"GetPrinterDataExA", {ERROR_MORE_DATA, ERROR_FILE_NOT_FOUND}},
        {"SetPrinterDataA", {ERROR_ACCESS_DENIED}},
        {"SetPrinterDataExA", {ERROR_ACCESS_DENIED}},
        {"CreateFileW", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}},
        {"ReadFile", {ERROR_READ_FAULT}},
        {"GetFileSize", {ERROR_INVALID_HANDLE}},
        {"WriteFile", {ERROR_DISK_FULL}},
        {"DeleteFileW", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}},
        {"RegQueryValueExW", {ERROR_ACCESS_DENIED, ERROR_MORE_DATA}},
        {"ControlService",
         {ERROR_SERVICE_REQUEST_TIMEOUT, ERROR_ACCESS_DENIED, ERROR_DEPENDENT_SERVICES_RUNNING}},
        {"QueryServiceStatus", {ERROR_ACCESS_DENIED}},
        {"StartServiceW", {ERROR_SERVICE_REQUEST_TIMEOUT, ERROR_ACCESS_DENIED}},
        {"CreateProcessW", {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
        {"WaitForSingleObject", {ERROR_INVALID_HANDLE}},
        {"FormatMessageW", {ERROR_MR_MID_NOT_FOUND, ERROR_RESOURCE_LANG_NOT_FOUND}},
        {"MultiByteToWideChar", {ERROR_NO_UNICODE_TRANSLATION}},
        {"GetFileVersionInfoSizeW", {ERROR_RESOURCE_TYPE_NOT_FOUND}},
        {"GetFileVersionInfoW", {ERROR_RESOURCE_TYPE_NOT_FOUND}},
        {"VerQueryValueW", {ERROR_RESOURCE_TYPE_NOT_FOUND}},
        {"GetModuleFileNameW", {ERROR_NOT_ENOUGH_MEMORY}},
        {"GetSystemDirectoryW", {ERROR_NOT_ENOUGH_MEMORY}},
        {"CommandLineToArgvW", {ERROR_NOT_ENOUGH_MEMORY}},
        {"DialogBoxParamW", {ERROR_NOT_ENOUGH_MEMORY}},
        {"GetVersionExA", {ERROR_INVALID_PARAMETER}},
        {"GetLongPathNameW", {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
        {"OpenProcess", {ERROR_ACCESS_DENIED, ERROR_INVALID_PARAMETER}},
        {"GetProcessWindowStation", {ERROR_ACCESS_DENIED}},
        {"SetDefaultDllDirectories", {ERROR_INVALID_PARAMETER}},
        {"GetUserObjectInformationW", {ERROR_INVALID_HANDLE, ERROR_ACCESS_DENIED}},
        {"GetTokenInformation", {ERROR_ACCESS_DENIED, ERROR_NO_SUCH_LOGON_SESSION}},
        {"DuplicateTokenEx", {ERROR_BAD_IMPERSONATION_LEVEL, ERROR_ACCESS_DENIED}},
        {"CreateProcessWithTokenW", {ERROR_PRIVILEGE_NOT_HELD, ERROR_FILE_NOT_FOUND}},
        {"CreateProcessAsUserW", {ERROR_PRIVILEGE_NOT_HELD, ERROR_FILE_NOT_FOUND}},
        {"WTSQueryUserToken", {ERROR_NO_TOKEN, ERROR_PRIVILEGE_NOT_HELD}},
        {"CreateEnvironmentBlock", {ERROR_NOT_ENOUGH_MEMORY}},
        {"CreateToolhelp32Snapshot", {ERROR_NOT_ENOUGH_MEMORY, ERROR_ACCESS_DENIED}},
        {"Process32FirstW", {ERROR_NO_MORE_FILES}},
        {"Process32NextW", {ERROR_NO_MORE_FILES}},
        {"QueryFullProcessImageNameW", {ERROR_ACCESS_DENIED, ERROR_INSUFFICIENT_BUFFER}},
        {"ProcessIdToSessionId", {ERROR_INVALID_PARAMETER, ERROR_ACCESS_DENIED}},
        {"GetWindowThreadProcessId", {ERROR_INVALID_WINDOW_HANDLE}},
        {"OpenEventW", {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
        {"SetFileInformationByHandle", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}},
        {"RegEnumKeyExW", {ERROR_ACCESS_DENIED, ERROR_MORE_DATA}},
        {"GetModuleHandleW", {ERROR_MOD_NOT_FOUND}},
        {"GetProcAddress", {ERROR_PROC_NOT_FOUND}},
        {"ConvertStringSecurityDescriptorToSecurityDescriptorW", {ERROR_NOT_ENOUGH_MEMORY}},
        {"CreateBoundaryDescriptorW", {ERROR_NOT_ENOUGH_MEMORY}},
        {"AddSIDToBoundaryDescriptor", {ERROR_NOT_ENOUGH_MEMORY}},
        // One that exists and is gone before it is opened: made again.
        {"CreatePrivateNamespaceW", {ERROR_ACCESS_DENIED, ERROR_ALREADY_EXISTS}},
        {"OpenPrivateNamespaceW", {ERROR_ACCESS_DENIED, ERROR_NOT_FOUND}},
        {"CreateMutexExW", {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE}},
        {"LookupAccountSidW", {ERROR_NONE_MAPPED}},
        {"SetFilePointer", {ERROR_INVALID_PARAMETER}},
        {"SetEndOfFile", {ERROR_DISK_FULL}},
    };
    auto it = table.find(call);
    if (it != table.end())
        return it->second;
    if (call.find("Printer") != std::string::npos || call.find("Monitor") != std::string::npos)
        return {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED};
    return {ERROR_ACCESS_DENIED};
}

const sim::Text SavedRecordKey = u"HKLM\\SOFTWARE\\Vorland Software KFT\\Kestrovane\\Installer";
const sim::Text SepFile = u"C:\\Windows\\system32\\sysprint.sep";

// A queue of ours as a user sees it: every field a caller may set, its
// settings link in both places and whether it is the default.
std::string Describe(sim::Printer& p) {
    std::string d = sim::Upper(p.name) == sim::Upper(sim::M().defaultPrinter) ? "default " : "";
    if (p.connection)
        return d + "connection";
    auto hash = [](const std::vector<uint8_t>& b) {
        return std::to_string(std::hash<std::string>()(std::string(b.begin(), b.end())));
    };
    for (const sim::Text& t :
         {p.share, p.comment, p.location, p.sepFile, p.printProcessor, p.datatype, p.parameters})
        d += Ascii(t) + "|";
    for (DWORD n : {p.attributes & ~static_cast<DWORD>(PRINTER_ATTRIBUTE_DEFAULT), p.priority,
                    p.defaultPriority, p.startTime, p.untilTime})
        d += std::to_string(n) + "|";
    // No descriptor of its own: the spooler's default.
    return d + hash(p.devMode) + "|" +
           hash(p.security.empty() ? sim::SecurityDescriptor(544) : p.security) + "|" +
           sim::PrinterString(p, u"", u"SubKey") + "|" +
           sim::PrinterString(p, u"DsUser", u"SubKey");
}

std::map<std::string, std::string> OurQueues() {
    std::map<std::string, std::string> ours;
    for (sim::Printer& p : sim::M().printers)
        if (p.driver == u"Kestrovane printer")
            ours[sim::Narrow(p.name)] = Describe(p);
    return ours;
}

// The queues an earlier, killed run took away: a scenario's machine holds
// them only in that run's record.
std::map<std::string, std::string> takenByKilledRun;

// The process ends: nothing it held lives on (its memory, its handles, and
// so the installers' mutex it owned), the machine stays as it was.
void ProcessGone() {
    sim::Machine& m = sim::M();
    m.generalHeap = m.globalHeap = m.localHeap = sim::Heap{};
    m.handles.clear();
    m.onCall = nullptr;
    m.onDialog = nullptr;
    m.faults.clear();
    m.callCounts.clear(); // the next run's n-th call is its own n-th, as the faults count it
}

// Runs the verb and kills it as the `nth` call of `call` (of any call when
// empty) begins: the machine is put back as it was at that moment. False
// when the run never got there.
bool KilledAt(const std::string& verb, const std::string& call, int nth) {
    std::unique_ptr<sim::Machine> then;
    int seen = 0;
    sim::M().onCall = [&](const std::string& name, int) {
        if (!then && (call.empty() || name == call) && ++seen == nth)
            then = std::make_unique<sim::Machine>(sim::M());
    };
    RunCommand("ksvinstall.exe " + verb);
    if (!then)
        return false;
    sim::M() = *then;
    ProcessGone();
    return true;
}

// What went wrong in a clean `install` run on the machine as a fault or a
// crash left it: every queue of ours of `before` must be there whole, no
// other queue of ours (bar the one new "Kestrovane" when there was none),
// no saved-queue record left, nothing leaked.
std::string CleanInstallKeeps(const std::map<std::string, std::string>& before,
                              bool defaultUnknown = false) {
    sim::M().faults.clear();
    sim::M().onCall = nullptr;
    sim::M().shiftDown = false;
    int code = RunCommand("ksvinstall.exe install");
    std::string broken;
    if (code != 1 && code != 101)
        broken += "clean install exit " + std::to_string(code) + "; ";
    std::map<std::string, std::string> after = OurQueues();
    for (const auto& q : before) {
        auto now = after.find(q.first);
        auto plain = [defaultUnknown](const std::string& d) {
            return defaultUnknown && d.compare(0, 8, "default ") == 0 ? d.substr(8) : d;
        };
        if (now == after.end())
            broken += "queue " + q.first + " lost; ";
        else if (plain(now->second) != plain(q.second))
            broken += "queue " + q.first + " was [" + q.second + "], is [" + now->second + "]; ";
    }
    for (const auto& q : after)
        if (!before.count(q.first) && !(before.empty() && q.first == "Kestrovane"))
            broken += "queue " + q.first + " added; ";
    if (sim::FindKey(SavedRecordKey))
        broken += "saved-queue record left; ";
    if (sim::LiveBlocks() != 0 || sim::BadFrees() != 0)
        broken += "clean install leaked or freed twice; ";
    return broken;
}

// A deployment: LocalSystem in session 0, the administrator logged on in
// session 1 with the tray program the logon started and, as default
// printer, a queue of ours.
void AsSystemWithUser() {
    sim::M().token = sim::SystemToken();
    sim::M().defaultPrinter.clear(); // LocalSystem's own
    sim::SetStringValue(sim::UserWindowsKey(sim::UserSid), u"Device", u"Home,winspool,Ne01:");
}

const sim::Text Impostor = OtherDir + u"impostor.exe";

// Another program that takes the tray program's mutex and window class
// and never ends when asked.
void ImpostorRuns() {
    sim::MakeDirectory(u"C:\\Other");
    sim::PutFile(Impostor, "impostor");
    sim::ProgramScript s = TrayBehaviour(100);
    s.obeysQuit = false;
    s.quitEvent.clear();
    sim::M().programs[sim::Upper(Impostor)] = s;
    sim::StartProcess(Impostor, Impostor);
}

void RunningTray() {
    sim::M().programs[sim::Upper(Tray)] = TrayBehaviour(100);
    sim::StartProcess(Tray, u"\"" + Tray + u"\"");
    sim::SetStringValue(RunKey, u"KestrovaneTray", u"\"" + Tray + u"\"");
}

sim::Printer& ProductPrinter(const sim::Text& name, const std::string& subKey) {
    sim::Printer& p = sim::AddPrinter(name, u"Kestrovane printer", u"Kestrovane:");
    sim::SetPrinterString(p, u"", u"SubKey", subKey);
    sim::SetPrinterString(p, u"DsUser", u"SubKey", subKey);
    sim::SetStringValue(SettingsRoot + sim::Widen(subKey), u"deleted", u"1");
    return p;
}

// The product as an earlier install of build `build` left it: monitor loaded,
// driver registered, two queues of ours (one the default), a queue of another
// vendor on our port, the tray program running.
void InstalledProduct(int build) {
    PlacePackage();
    sim::M().spooler.exitDelayMs = 500; // its process outlives STOPPED
    sim::File& dll = sim::PutFile(SystemMonitor, "monitor", build);
    dll.loadedBySpooler = sim::M().spoolerHoldsMonitors;
    sim::M().monitors.push_back(sim::Monitor{u"Kestrovane:", u"Windows x64", u"ksvmon64.dll"});
    sim::Driver d;
    d.name = u"Kestrovane printer";
    d.environment = u"Windows x64";
    d.driverPath = sim::DriverStore() + u"\\ksvdrv64.dll";
    d.dataFile = d.driverPath;
    d.configFile = sim::DriverStore() + u"\\ksvui64.dll";
    sim::PutFile(d.driverPath, "driver", build);
    sim::PutFile(d.configFile, "ui", build);
    sim::M().drivers.push_back(d);
    sim::Driver foreign;
    foreign.name = u"Vendor PCL";
    foreign.environment = u"Windows x64";
    sim::M().drivers.push_back(foreign);
    sim::Printer& office = ProductPrinter(u"Office", "office-1");
    office.comment = u"Second floor";
    office.location = u"Room 2.14";
    office.share = u"office";
    office.attributes |= PRINTER_ATTRIBUTE_SHARED | PRINTER_ATTRIBUTE_PUBLISHED;
    sim::Printer& home = ProductPrinter(u"Home", "home-2");
    sim::PutFile(SepFile, "separator");
    home.sepFile = SepFile;
    home.parameters = u"copies=2";
    home.attributes |= PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS | PRINTER_ATTRIBUTE_QUEUED;
    home.priority = 7;
    home.defaultPriority = 3;
    home.startTime = 60;
    home.untilTime = 1380;
    home.devMode.assign(sizeof(DEVMODEW), 0);
    home.devMode[68] = sizeof(DEVMODEW); // dmSize
    home.devMode[72] = 1;                // dmFields: DM_ORIENTATION
    home.devMode[76] = 2;                // dmOrientation: DMORIENT_LANDSCAPE
    home.security = sim::SecurityDescriptor(547);
    sim::AddPrinter(u"Laser", u"Vendor PCL", u"Kestrovane:");
    sim::M().defaultPrinter = u"Office";
    RunningTray();
}

// Another program's work for the next restart: a plain deletion, and a
// file replaced (deleted, then the new one renamed onto it). Its operations
// go around whatever the scenario queued itself.
const std::vector<sim::Text> OtherOperations = {
    Nt + OtherDir + u"plain.tmp",   u"",
    Nt + OtherDir + u"app.dll",     u"",
    Nt + OtherDir + u"app.dll.new", u"!" + Nt + OtherDir + u"app.dll"};
const std::map<sim::Text, std::string> OtherFiles = {{OtherDir + u"plain.tmp", "plain"},
                                                     {OtherDir + u"app.dll", "old app"},
                                                     {OtherDir + u"app.dll.new", "new app"}};

void SeedOtherPrograms() {
    sim::MakeDirectory(u"C:\\Other");
    for (const auto& file : OtherFiles)
        sim::PutFile(file.first, file.second);
    std::vector<sim::Text> ours;
    if (sim::RegValue* v = sim::FindValue(sim::PendingRenamesKey, u"PendingFileRenameOperations"))
        ours = sim::MultiStrings(*v);
    std::vector<sim::Text> all(OtherOperations.begin(), OtherOperations.begin() + 2);
    all.insert(all.end(), ours.begin(), ours.end());
    all.insert(all.end(), OtherOperations.begin() + 2, OtherOperations.end());
    sim::SetValue(sim::PendingRenamesKey, u"PendingFileRenameOperations", REG_MULTI_SZ,
                  sim::MultiStringBytes(all));
}

// What became of the other program's files and operations; empty when
// nothing did.
std::string OtherProgramsHarmed() {
    std::string harmed;
    for (const auto& file : OtherFiles)
        if (!sim::FileExists(file.first) || sim::FileContent(file.first) != file.second)
            harmed += "changed " + Ascii(file.first) + "; ";
    std::vector<sim::Text> strings, others;
    if (sim::RegValue* v = sim::FindValue(sim::PendingRenamesKey, u"PendingFileRenameOperations"))
        strings = sim::MultiStrings(*v);
    for (size_t i = 0; i + 1 < strings.size(); i += 2)
        if (strings[i].find(OtherDir) != sim::Text::npos ||
            strings[i + 1].find(OtherDir) != sim::Text::npos)
            others.insert(others.end(), {strings[i], strings[i + 1]});
    if (others != OtherOperations)
        harmed += "their pending operations changed; ";
    return harmed;
}

// Each loaded profile's default printer ("Device"), by hive.
std::map<sim::Text, std::string> UserDefaults() {
    std::map<sim::Text, std::string> defaults;
    for (const auto& entry : sim::M().keys)
        if (entry.first.compare(0, 4, u"HKU\\") == 0 && entry.second.values.count(u"DEVICE")) {
            const std::vector<uint8_t>& d = entry.second.values.at(u"DEVICE").data;
            defaults[entry.first] = std::string(d.begin(), d.end());
        }
    return defaults;
}

struct Scenario {
    const char* name;
    const char* verb;
    std::function<void()> prepare;
    std::set<int> codes;
    bool keepsPrinters;
    // What an administrator mends before the next install (an install that
    // met it could not give everything back).
    std::function<void()> heal = nullptr;
    // A line the undisturbed run logs, and its exit code (0: any of `codes`).
    const char* logs = nullptr;
    int code = 0;
};

const std::vector<Scenario>& Scenarios() {
    static const std::vector<Scenario> all = {
        {"clean install", "install", [] { PlacePackage(); }, {1, 100, 101}, false},
        {"clean install, no private namespaces (Wine)",
         "install",
         [] {
             PlacePackage();
             sim::M().privateNamespaces = false;
         },
         {1, 100, 101},
         false},
        {"install, log file",
         "install /log C:\\k.log",
         [] { PlacePackage(); },
         {1, 100, 101},
         false},
        {"install unseen",
         "install",
         [] {
             PlacePackage();
             sim::M().windowStationVisible = false;
         },
         {1, 100, 101},
         false},
        {"reinstall", "install", [] { InstalledProduct(2450); }, {1, 100, 101}, true},
        // The spooler's stop is refused while the Fax service runs.
        {"reinstall, the Fax service depends on the spooler",
         "install",
         [] {
             InstalledProduct(2450);
             sim::Service fax;
             fax.name = fax.displayName = u"Fax";
             sim::M().dependents.push_back(fax);
         },
         {1, 100, 101},
         true},
        {"reinstall, printer data sized as UTF-16",
         "install",
         [] {
             InstalledProduct(2450);
             sim::M().printerDataUnicodeSize = true;
             ProductPrinter(u"Annex", std::string(40, 'a'));
         },
         {1, 100, 101},
         true},
        {"reinstall, a connection of ours the default",
         "install",
         [] {
             InstalledProduct(2501);
             sim::AddConnection(u"\\\\print01\\Kestrovane", u"Kestrovane printer");
             sim::M().defaultPrinter = u"\\\\print01\\Kestrovane";
         },
         {1, 100, 101},
         true},
        // Windows keeps the spelling the default was set in.
        {"reinstall, the default set in another spelling",
         "install",
         [] {
             InstalledProduct(2501);
             sim::M().defaultPrinter = u"office";
         },
         {1, 100, 101},
         true},
        {"uninstall", "uninstall", [] { InstalledProduct(2501); }, {2, 100, 101}, false},
        // An open printing preferences dialog has the interface DLL loaded:
        // the spooler moves it aside and queues its deletion.
        {"uninstall, the interface DLL in use",
         "uninstall",
         [] {
             InstalledProduct(2501);
             sim::FindFile(sim::DriverStore() + u"\\ksvui64.dll")->loadedByProcess = true;
         },
         {2, 100, 101},
         false},
        {"uninstall, no English messages",
         "uninstall",
         [] {
             InstalledProduct(2501);
             sim::M().messageLanguage = 1031;
         },
         {2, 100, 101},
         false},
        {"uninstall with a connection of ours",
         "uninstall",
         [] {
             InstalledProduct(2501);
             sim::AddConnection(u"\\\\print01\\Kestrovane", u"Kestrovane printer");
         },
         {2, 100, 101},
         false},
        {"uninstall, Wine's driver deletion",
         "uninstall",
         [] {
             InstalledProduct(2501);
             sim::M().wineDriverDeletion = true;
         },
         {2, 100, 101},
         false},
        {"onChkDrv", "onChkDrv", [] { InstalledProduct(2501); }, {3, 103}, false},
        {"onInit",
         "onInit",
         [] {
             InstalledProduct(2501);
             sim::File& f = sim::PutFile(u"C:\\Windows\\system32\\ksvmon64.dll", "old", 2501);
             f.lockedThroughRestart = true;
             sim::SetValue(sim::PendingRenamesKey, u"PendingFileRenameOperations", REG_MULTI_SZ,
                           sim::MultiStringBytes({u"\\??\\" + SystemMonitor, u""}));
         },
         {3, 102, 200},
         false},
        // An earlier uninstall queued the DLL of the monitor this reinstall
        // keeps, and the spooler does not hold it.
        {"reinstall, kept monitor queued",
         "install",
         [] {
             sim::M().spoolerHoldsMonitors = false;
             InstalledProduct(2501);
             sim::SetValue(sim::PendingRenamesKey, u"PendingFileRenameOperations", REG_MULTI_SZ,
                           sim::MultiStringBytes({Nt + SystemMonitor, u""}));
         },
         {1, 100, 101},
         true},
        {"reinstall, a queue only an earlier run's record holds",
         "install",
         [] {
             InstalledProduct(2501);
             sim::Printer& invoices = ProductPrinter(u"Invoices", "inv01");
             invoices.comment = u"Accounts";
             invoices.location = u"Room 1.02";
             takenByKilledRun = OurQueues();
             KilledAt("install", "AddPrinterW", 1);
         },
         {1, 100, 101},
         true},
        {"reinstall, a settings link of 80 characters",
         "install",
         [] {
             InstalledProduct(2501);
             ProductPrinter(u"Annex", std::string(80, 'k'));
         },
         {1, 100, 101},
         true},
        {"reinstall, sharing refused",
         "install",
         [] {
             InstalledProduct(2501);
             sim::M().shareError = 2114; // NERR_ServerNotStarted
         },
         {100},
         true,
         [] { sim::M().shareError = 0; }},
        {"install, a broken package",
         "install",
         [] {
             InstalledProduct(2450);
             sim::M().files.erase(
                 sim::Upper(u"C:\\Program Files\\Kestrovane\\setup\\ksvdrv64.dll"));
         },
         {100},
         true,
         [] { PlacePackage(); }},
        {"reinstall, only a connection of ours",
         "install",
         [] {
             InstalledProduct(2501);
             for (const char16_t* name : {u"Office", u"Home"})
                 sim::M().printers.erase(sim::M().printers.begin() +
                                         (sim::FindPrinter(name) - sim::M().printers.data()));
             sim::AddConnection(u"\\\\print01\\Kestrovane", u"Kestrovane printer");
             sim::M().defaultPrinter = u"\\\\print01\\Kestrovane";
         },
         {1, 100, 101},
         true},
        {"def.set", "def.set", [] { InstalledProduct(2501); }, {4}, false},
        {"in_notray", "in_notray", [] { InstalledProduct(2450); }, {1, 100, 101}, true},
        // Started through its 8.3 path, it keeps the tray program it ships.
        {"removetray",
         "removetray",
         [] {
             InstalledProduct(2501);
             sim::M().modulePath = u"C:\\PROGRA~1\\KESTRO~1\\setup\\ksvinstall.exe";
         },
         {6},
         false},
        {"reinstall as SYSTEM, the user's tray and default",
         "install",
         [] {
             InstalledProduct(2450);
             AsSystemWithUser();
         },
         {1, 100, 101},
         true,
         nullptr,
         "Default printer of S-1-5-21-1-2-3-1001 set again: Home",
         1},
        // The user's connection keeps the driver: an error, and its name in the log.
        {"uninstall as SYSTEM, the user's connection on our driver",
         "uninstall",
         [] {
             InstalledProduct(2501);
             AsSystemWithUser();
             sim::AddUserConnection(sim::UserSid, u"\\\\print01\\Kestrovane",
                                    u"Kestrovane printer");
         },
         {2, 100, 101},
         false,
         nullptr,
         "Connection \\\\print01\\Kestrovane of S-1-5-21-1-2-3-1001 holds the printer driver",
         100},
        {"install as SYSTEM, nobody logged on",
         "install",
         [] {
             PlacePackage();
             sim::M().token = sim::SystemToken();
             sim::M().sessions.resize(1);
             sim::M().shell.running = false;
         },
         {1, 100, 101},
         false},
        // A setup program queued the old tray program's deletion and copied
        // the new one to the same place.
        {"reinstall, the tray program's deletion queued",
         "install",
         [] {
             InstalledProduct(2501);
             sim::SetValue(sim::PendingRenamesKey, u"PendingFileRenameOperations", REG_MULTI_SZ,
                           sim::MultiStringBytes({Nt + Tray, u""}));
         },
         {1, 100, 101},
         true,
         nullptr,
         "Pending deletion cancelled: C:\\Program Files\\Kestrovane\\kestray.exe",
         1},
        {"uninstall, the tray program never ends",
         "uninstall",
         [] {
             InstalledProduct(2501);
             for (sim::Process& p : sim::M().processes)
                 p.script.obeysQuit = false;
         },
         {2, 100, 101},
         false,
         nullptr,
         nullptr,
         101},
        {"removetray, an impostor holds the tray's mutex and window",
         "removetray",
         [] {
             PlacePackage();
             ImpostorRuns();
             sim::SetStringValue(RunKey, u"KestrovaneTray", u"\"" + Tray + u"\"");
         },
         {6},
         false},
        {"uninstall, the Run value names another program's file",
         "uninstall",
         [] {
             InstalledProduct(2501);
             sim::SetStringValue(RunKey, u"KestrovaneTray", OtherDir + u"app.dll");
         },
         {2, 100, 101},
         false,
         nullptr,
         "KestrovaneTray named C:\\Other\\app.dll, not our tray program: left in place",
         2},
    };
    return all;
}

struct Outcome {
    std::map<std::string, std::string> ours; // queues of ours before the run, described
    std::string defaultBefore;
    std::map<sim::Text, std::string> userDefaults; // hive -> its "Device" before the run
    int code = 0;
    bool sawContext = false;
    int32_t depth = 0;
    int32_t errors = 0;
    std::string log;
    std::vector<sim::Text> queued;    // what was queued for the restart before the run
    DWORD error = 0;                  // the failing call's error
    std::set<std::string> dependents; // services on the spooler that ran before the run
    std::string machine;              // the machine before the run
    bool lockShown = false;           // the installers' lock was held while the dialog was up
};

Outcome RunScenario(const Scenario& s, const std::string& call, int nth, DWORD error,
                    bool lasting) {
    sim::Reset();
    takenByKilledRun.clear();
    s.prepare();
    SeedOtherPrograms();
    sim::M().shiftDown = true; // every run with a context shows us its log
    Outcome out;
    sim::M().onDialog = [&out](LPARAM param) {
        const InstallContext* c = reinterpret_cast<const InstallContext*>(param);
        out.sawContext = true;
        out.depth = c->LogDepth;
        out.errors = c->ErrorCount;
        out.log = LogText(*c);
        for (const auto& m : sim::M().mutexes)
            out.lockShown |= m.second.owner == sim::InstallerProcess &&
                             m.first.find(u"ksvinstall") != sim::Text::npos &&
                             sim::MutexExists(m.first);
    };
    out.queued = QueuedTexts();
    out.machine = MachineDigest(u"C:\\k.log");
    out.error = error;
    out.ours = OurQueues();
    out.ours.insert(takenByKilledRun.begin(), takenByKilledRun.end());
    out.defaultBefore = sim::Narrow(sim::M().defaultPrinter);
    for (const sim::Service& d : sim::M().dependents)
        if (d.state == SERVICE_RUNNING)
            out.dependents.insert(sim::Narrow(d.name));
    out.userDefaults = UserDefaults();
    if (!call.empty())
        sim::FailCall(call, error, nth, lasting ? -1 : 1);
    out.code = RunCommand(std::string("ksvinstall.exe ") + s.verb);
    sim::M().onDialog = nullptr;
    return out;
}

size_t InstallerHandles() {
    size_t n = 0;
    for (sim::HandleKind kind :
         {sim::HandleKind::ScManager, sim::HandleKind::Service, sim::HandleKind::Printer,
          sim::HandleKind::Key, sim::HandleKind::File, sim::HandleKind::Token,
          sim::HandleKind::Snapshot, sim::HandleKind::Event, sim::HandleKind::Process,
          sim::HandleKind::Thread})
        n += sim::OpenHandles(kind);
    return n;
}

bool IsOurTray(const sim::Process* p) {
    return p && sim::Upper(p->image) == sim::Upper(Tray);
}

// What became of the tray programs of ours, as text; empty when all holds:
// none runs in session 0 or elevated, none but ours was asked to end, after
// an uninstall its file is gone (or queued, with 101) and, undisturbed with
// exit 2, none runs; after an undisturbed install one runs in each active
// session with someone logged on, and none elsewhere.
std::string TrayHarm(const Scenario& s, const std::string& call, int code) {
    std::set<std::string> harms;
    std::map<DWORD, int> running; // session -> trays of ours
    for (const sim::Process& p : sim::M().processes)
        if (p.running && IsOurTray(&p)) {
            ++running[p.token.sessionId];
            if (p.token.sessionId == 0 || p.token.elevated)
                harms.insert("a tray program in session 0 or elevated; ");
        }
    for (const sim::Window& w : sim::M().windows)
        for (const sim::PostedMessage& m : w.posted)
            if (m.message == TrayQuitMessage && !IsOurTray(sim::FindProcess(w.processId)))
                harms.insert("another program asked to end; ");
    std::string harm;
    for (const std::string& h : harms)
        harm += h;
    std::string verb = s.verb;
    bool queued = false;
    for (const sim::Text& t : QueuedTexts())
        queued |= sim::Upper(t) == sim::Upper(Nt + Tray);
    // Without its own path, or the memory to spell it, a run cannot tell
    // where the package's tray program lies.
    bool pathless = call == "GetModuleFileNameW" || call == "HeapAlloc" || call == "HeapReAlloc" ||
                    call == "MultiByteToWideChar";
    if (verb == "uninstall" && !pathless && sim::FileExists(Tray) &&
        (code == 2 || (code == 101 && !queued)))
        harm += "tray program left and not queued; ";
    if (!call.empty())
        return harm;
    // A tray program that never ends is left to the restart (101) with its file.
    bool counted = verb.compare(0, 7, "install") == 0 || (verb == "uninstall" && code == 2);
    for (const sim::Session& session : sim::M().sessions) {
        bool wanted = verb.compare(0, 7, "install") == 0 && session.state == WTSActive &&
                      !session.user.sid.empty();
        if (counted && running[session.id] != (wanted ? 1 : 0))
            harm += std::to_string(running[session.id]) + " tray programs in session " +
                    std::to_string(session.id) + "; ";
    }
    return harm;
}

// Calls whose lasting failure leaves no way to run or restart the spooler.
const std::set<std::string> serviceCalls = {"OpenSCManagerW", "OpenServiceW", "StartServiceW",
                                            "QueryServiceStatus", "ControlService"};

// Every broken promise of one run, as text; empty when it held.
std::string Check(const Scenario& s, const std::string& call, int nth, bool lasting,
                  const Outcome& o) {
    std::string broken;
    auto fail = [&broken](const std::string& what) {
        broken += (broken.empty() ? "" : "; ") + what;
    };
    // A command line that cannot be split is as good as none; without a safe
    // DLL search nothing runs at all.
    bool unsplit = call == "CommandLineToArgvW" || (call == "LocalAlloc" && nth == 1) ||
                   call == "SetDefaultDllDirectories";
    // Refused before anything changed: the lock could not be had safely (104),
    // or the log file could not be opened (6).
    bool refused =
        o.code == 104 || (o.code == 6 && std::string(s.verb).find("/log") != std::string::npos);
    if (!s.codes.count(o.code) && !(unsplit && o.code == 6) && !refused)
        fail("exit code " + std::to_string(o.code));
    if (refused && MachineDigest(u"C:\\k.log") != o.machine)
        fail("refused with " + std::to_string(o.code) + " but the machine changed");
    if (o.lockShown)
        fail("the installers' lock held while the dialog is shown");
    if (sim::LiveBlocks() != 0)
        fail(std::to_string(sim::LiveBlocks()) + " blocks leaked");
    if (sim::BadFrees() != 0)
        fail("freed twice");
    if (InstallerHandles() != 0)
        fail("handles left open");
    // A connection's handle is the server's queue: never purged, deleted or changed.
    for (const std::string& change : sim::M().serverChanges)
        fail("server queue changed: " + change);
    if (sim::M().spooler.state != SERVICE_RUNNING && !(lasting && serviceCalls.count(call)))
        fail("spooler left stopped");
    for (const sim::Service& d : sim::M().dependents)
        if (o.dependents.count(sim::Narrow(d.name)) && d.state != SERVICE_RUNNING &&
            !(lasting && serviceCalls.count(call)))
            fail("service " + sim::Narrow(d.name) + " left stopped");
    std::string harm =
        MachineHarm(o.code, o.queued) + OtherProgramsHarmed() + BrokenRegistrations();
    // The tray program the package ships is the product's only copy.
    if (!sim::FileExists(Tray) && std::string(s.verb) != "uninstall")
        harm += "tray program deleted; ";
    harm += TrayHarm(s, call, o.code);
    if (!harm.empty())
        fail("machine: " + harm);
    if (o.sawContext) {
        if (o.depth != 0)
            fail("log depth " + std::to_string(o.depth));
        if ((o.code == 100 || o.code == 104) != (o.errors != 0))
            fail("exit " + std::to_string(o.code) + " with " + std::to_string(o.errors) +
                 " errors");
        // A scenario an administrator must mend, or one whose error is its
        // point, is a fault of its own.
        if (call.empty() && o.errors != 0 && !s.heal && s.code != 100)
            fail("an error without a fault");
    }
    for (const sim::DialogRecord& d : sim::M().dialogs)
        if (d.hangs)
            fail("a dialog nobody can close");
    // A log file, when there is one, holds exactly the lines the dialog showed.
    if (std::string(s.verb).find("/log") != std::string::npos) {
        sim::File* f = sim::FindFile(u"C:\\k.log");
        std::string expected = "\xEF\xBB\xBF"
                               "2026-12-08T04:17:18 install - Kestrovane build 2501\r\n" +
                               o.log;
        if (f && o.sawContext && std::string(f->bytes.begin(), f->bytes.end()) != expected)
            fail("log file differs from the dialog");
        // Not opened: refused (6). Not written whole: deleted.
        if (!f && !unsplit && !refused && call != "WriteFile" && call != "SetEndOfFile")
            fail("no log file");
    }
    // Every error line says why, in the system's language when it has no English.
    // (FormatMessageW allocates the text with LocalAlloc.)
    if (o.log.find("( No Description )") != std::string::npos && call != "FormatMessageW" &&
        call != "LocalAlloc" && sim::HasSystemText(o.error))
        fail("an error without its description");
    // The same printer, in whatever spelling the spooler was given it (a
    // default an earlier run's record gives back was none before the run).
    if (s.keepsPrinters && call.empty() && !o.defaultBefore.empty() &&
        sim::UpperName(sim::M().defaultPrinter) != sim::UpperName(sim::Widen(o.defaultBefore)))
        fail("default printer lost");
    // Undisturbed, every queue of ours is back whole at once.
    if (s.keepsPrinters && call.empty() && !s.heal && OurQueues() != o.ours)
        fail("queues of ours not given back whole");
    // Whatever the run met, a clean install afterwards gives every queue back.
    if (std::string(s.verb).compare(0, 2, "in") == 0) {
        if (s.heal)
            s.heal();
        // Without the default printer's name the run cannot know which queue
        // to make the default again.
        bool blind = call == "GetDefaultPrinterW" && (lasting || o.error == ERROR_FILE_NOT_FOUND);
        std::string lost = CleanInstallKeeps(o.ours, blind);
        if (!lost.empty())
            fail("after a clean install: " + lost);
    }
    if (s.keepsPrinters && call.empty() && UserDefaults() != o.userDefaults)
        fail("a user's default printer lost");
    return broken;
}

struct Totals {
    size_t calls = 0;  // distinct call sites (call, occurrence) recorded
    size_t errors = 0; // (call site, error) pairs
    size_t runs = 0;
    size_t harmful = 0; // runs that broke one of the machine's rules
    size_t lost = 0;    // runs after which a clean install could not give a queue back
    std::vector<std::string> failures;
};

Totals Sweep(const Scenario& s) {
    Totals t;
    sim::Reset();
    s.prepare();
    SeedOtherPrograms();
    sim::M().recordCalls = true;
    sim::M().shiftDown = true;
    RunCommand(std::string("ksvinstall.exe ") + s.verb);
    std::vector<std::string> calls = sim::M().calls;
    std::map<std::string, int> seen;
    for (const std::string& call : calls) {
        int nth = ++seen[call];
        if (cannotFail.count(call) || failOnlyForBadArguments.count(call))
            continue;
        ++t.calls;
        for (DWORD error : ErrorsOf(call)) {
            ++t.errors;
            // Once: a passing refusal. Lasting: the call fails from then on.
            for (bool lasting : {false, true}) {
                Outcome o = RunScenario(s, call, nth, error, lasting);
                ++t.runs;
                std::string broken = Check(s, call, nth, lasting, o);
                if (broken.find("machine: ") != std::string::npos)
                    ++t.harmful;
                if (broken.find(" lost;") != std::string::npos)
                    ++t.lost;
                if (!broken.empty())
                    t.failures.push_back(call + " #" + std::to_string(nth) + " (" +
                                         std::to_string(error) + (lasting ? ", lasting" : "") +
                                         "): " + broken);
            }
        }
    }
    return t;
}

TEST(FaultSweep, EveryCallFailingInTurnKeepsThePromises) {
    std::string table =
        "| scenario | call sites | faults (site x error) | runs (once + lasting) "
        "| failures | machine invariants | queues lost |\n|---|---|---|---|---|---|---|\n";
    size_t calls = 0, errors = 0, runs = 0, failures = 0, harmful = 0, lost = 0;
    // KSV_SWEEP_ONLY=<part of a name>: only the scenarios so named.
    const char* only = std::getenv("KSV_SWEEP_ONLY");
    for (const Scenario& s : Scenarios()) {
        if (only && std::string(s.name).find(only) == std::string::npos)
            continue;
        // Without faults the scenario itself must hold everything.
        Outcome clean = RunScenario(s, "", 0, 0, false);
        EXPECT_EQ(Check(s, "", 0, false, clean), "") << s.name;
        EXPECT_TRUE(!s.logs || clean.log.find(s.logs) != std::string::npos)
            << s.name << ": no line \"" << s.logs << "\" in\n"
            << clean.log;
        EXPECT_TRUE(!s.code || clean.code == s.code) << s.name << ": exit " << clean.code;
        Totals t = Sweep(s);
        for (size_t i = 0; i < t.failures.size() && i < 5; ++i)
            ADD_FAILURE() << s.name << ": " << t.failures[i];
        table += "| " + std::string(s.name) + " | " + std::to_string(t.calls) + " | " +
                 std::to_string(t.errors) + " | " + std::to_string(t.runs) + " | " +
                 std::to_string(t.failures.size()) + " | " + std::to_string(t.harmful) + " | " +
                 std::to_string(t.lost) + " |\n";
        calls += t.calls;
        errors += t.errors;
        runs += t.runs;
        failures += t.failures.size();
        harmful += t.harmful;
        lost += t.lost;
    }
    table += "| all | " + std::to_string(calls) + " | " + std::to_string(errors) + " | " +
             std::to_string(runs) + " | " + std::to_string(failures) + " | " +
             std::to_string(harmful) + " | " + std::to_string(lost) + " |\n";
    std::printf("%s", table.c_str());
    EXPECT_EQ(failures, 0u);
    if (!only) {
        EXPECT_GT(runs, 1000u) << "the sweep reached the calls";
    }
}

// Queues of ours gone while the run was killed must be in a saved-queue
// record on disk: on the next start nothing else knows them.
std::string RecordCoversTheMissing(const std::map<std::string, std::string>& before) {
    std::map<std::string, std::string> now = OurQueues();
    for (const auto& q : before)
        if (!now.count(q.first)) {
            if (!sim::FindValue(SavedRecordKey, u"SavedPrinters"))
                return "queue " + q.first + " gone with no record; ";
            if (sim::M().unflushed.count(sim::Upper(SavedRecordKey)))
                return "queue " + q.first + " gone, its record not flushed; ";
        }
    return "";
}

TEST(FaultSweep, AnInstallKilledAtAnyCallLosesNoQueue) {
    std::string table =
        "| scenario | crash points | failures | of them queues lost |\n|---|---|---|---|\n";
    size_t points = 0, failures = 0, losses = 0;
    for (const Scenario& s : Scenarios()) {
        if (!s.keepsPrinters || s.heal)
            continue;
        sim::Reset();
        takenByKilledRun.clear();
        s.prepare();
        int calls = 0;
        sim::M().onCall = [&calls](const std::string&, int) { ++calls; };
        RunCommand(std::string("ksvinstall.exe ") + s.verb);
        size_t failed = 0, lost = 0;
        for (int k = 1; k <= calls; ++k) {
            sim::Reset();
            takenByKilledRun.clear();
            s.prepare();
            std::map<std::string, std::string> before = OurQueues();
            before.insert(takenByKilledRun.begin(), takenByKilledRun.end());
            if (!KilledAt(s.verb, "", k))
                continue;
            std::string broken = RecordCoversTheMissing(before) + CleanInstallKeeps(before);
            lost += broken.find(" lost;") != std::string::npos;
            if (!broken.empty() && ++failed <= 5)
                ADD_FAILURE() << s.name << ", killed at call " << k << ": " << broken;
        }
        table += "| " + std::string(s.name) + " | " + std::to_string(calls) + " | " +
                 std::to_string(failed) + " | " + std::to_string(lost) + " |\n";
        points += static_cast<size_t>(calls);
        failures += failed;
        losses += lost;
    }
    table += "| all | " + std::to_string(points) + " | " + std::to_string(failures) + " | " +
             std::to_string(losses) + " |\n";
    std::printf("%s", table.c_str());
    EXPECT_EQ(failures, 0u);
}

} // namespace
