// ksvfloor.exe: the least a program must do to install, reinstall or remove
// the Kestrovane printer: the spooler calls and file copies of those verbs and
// nothing else (no log, no retries, no enumerations, no service control, no
// tray program). scripts/bench-wine.sh times it next to ksvinstall.exe, so
// that the installer's cost can be read against a floor measured in the same
// prefix on the same machine.
//
//   ksvfloor install <setup dir>    copy ksvmon64.dll into the system directory,
//                                   AddMonitorW; stage the driver files,
//                                   AddPrinterDriverExW (level 6, copying them),
//                                   delete the staged copies; AddPrinterW
//   ksvfloor reinstall <setup dir>  over an installation of the same build, as
//                                   the installer leaves it: the monitor stays;
//                                   DeletePrinter and DeletePrinterDriverExW,
//                                   then the driver and printer steps of install
//   ksvfloor uninstall              DeletePrinter, DeletePrinterDriverExW,
//                                   DeleteMonitorW, delete the monitor DLL
//   ksvfloor noop                   nothing: what starting a Wine process costs
//   ksvfloor hold                   waits until it is ended: while it runs, Wine
//                                   keeps its desktop process, which it would
//                                   otherwise start anew for a run that follows
//                                   a pause of a second or more
//
// Wine refuses every non-zero delete flag of DeletePrinterDriverExW (87), so
// the driver is unregistered with flag 0 and its stored files stay.
// Exit code: 0 when every step succeeded; 1 at the first failing step, which
// is named on stdout; 2 for a bad command line.
#include <windows.h>
#include <winspool.h>

#include <string>
#include <vector>

namespace {

const WCHAR PortName[] = L"Kestrovane:";
const WCHAR DriverName[] = L"Kestrovane printer";
const WCHAR Environment[] = L"Windows x64";
const WCHAR PrinterName[] = L"Kestrovane";
const WCHAR MonitorFile[] = L"ksvmon64.dll";
const WCHAR* const DriverFiles[] = {L"ksvdrv64.dll", L"ksvui64.dll", L"ksvhelp.chm"};
const WCHAR Vendor[] = L"Vorland Software Kft.";
const WCHAR VendorUrl[] = L"https://www.vorland.hu/kestrovane";

void Print(const std::wstring& text) {
    std::string line(text.begin(), text.end()); // plain ASCII paths and names
    line += "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()),
              &written, nullptr);
}

// Names the failed step with its error code; the caller stops there.
bool Failed(const std::wstring& step, DWORD code) {
    Print(step + L" failed " + std::to_wstring(code));
    return false;
}

std::wstring WithSlash(std::wstring dir) {
    if (!dir.empty() && dir.back() != L'\\')
        dir += L'\\';
    return dir;
}

std::wstring SystemFile(const WCHAR* name) {
    WCHAR system[MAX_PATH];
    UINT n = GetSystemDirectoryW(system, MAX_PATH);
    return WithSlash(std::wstring(system, n < MAX_PATH ? n : 0)) + name;
}

bool DriverDirectory(std::wstring& dir) {
    WCHAR path[MAX_PATH];
    DWORD needed = 0;
    if (!GetPrinterDriverDirectoryW(nullptr, const_cast<LPWSTR>(Environment), 1,
                                    reinterpret_cast<LPBYTE>(path), sizeof path, &needed))
        return Failed(L"GetPrinterDriverDirectoryW", GetLastError());
    dir = WithSlash(path);
    return true;
}

bool InstallMonitor(const std::wstring& setupDir) {
    if (!CopyFileW((setupDir + MonitorFile).c_str(), SystemFile(MonitorFile).c_str(), FALSE))
        return Failed(L"copy of the monitor DLL", GetLastError());
    MONITOR_INFO_2W info = {const_cast<LPWSTR>(PortName), const_cast<LPWSTR>(Environment),
                            const_cast<LPWSTR>(MonitorFile)};
    if (!AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)))
        return Failed(L"AddMonitorW", GetLastError());
    return true;
}

// The same DRIVER_INFO_6W the installer registers, from the same staged paths.
bool InstallDriver(const std::wstring& setupDir) {
    std::wstring dir;
    if (!DriverDirectory(dir))
        return false;
    std::wstring staged[3];
    for (int i = 0; i < 3; ++i) {
        staged[i] = dir + DriverFiles[i];
        if (!CopyFileW((setupDir + DriverFiles[i]).c_str(), staged[i].c_str(), FALSE))
            return Failed(std::wstring(L"copy of ") + DriverFiles[i], GetLastError());
    }
    DRIVER_INFO_6W info = {};
    info.cVersion = 3;
    info.pName = const_cast<LPWSTR>(DriverName);
    info.pEnvironment = const_cast<LPWSTR>(Environment);
    info.pDriverPath = &staged[0][0];
    info.pDataFile = &staged[0][0];
    info.pConfigFile = &staged[1][0];
    info.pHelpFile = &staged[2][0];
    info.pszMfgName = const_cast<LPWSTR>(Vendor);
    info.pszOEMUrl = const_cast<LPWSTR>(VendorUrl);
    info.pszProvider = const_cast<LPWSTR>(Vendor);
    if (!AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES))
        return Failed(L"AddPrinterDriverExW", GetLastError());
    // The spooler keeps copies of its own; the staged ones go, as the installer's do.
    for (const std::wstring& path : staged)
        if (!DeleteFileW(path.c_str()))
            return Failed(L"delete of " + path, GetLastError());
    return true;
}

// The fields a queue of ours may carry, as a user's tools set them: all of
// them are given back by a reinstall.
struct Queue {
    std::wstring name, share, comment, location, sepFile, processor, datatype, parameters;
    std::vector<BYTE> devMode, security;
    std::string subKey;
    DWORD attributes = 0, priority = 0, defaultPriority = 0, startTime = 0, untilTime = 0;
    bool isDefault = false;
};

std::wstring Str(const WCHAR* text) {
    return text ? text : L"";
}

LPWSTR Ptr(std::wstring& text) {
    return text.empty() ? nullptr : &text[0];
}

bool AddQueue(Queue& q) {
    PRINTER_INFO_2W info = {};
    info.pPrinterName = &q.name[0];
    info.pShareName = Ptr(q.share);
    info.pPortName = const_cast<LPWSTR>(PortName);
    info.pDriverName = const_cast<LPWSTR>(DriverName);
    info.pComment = Ptr(q.comment);
    info.pLocation = Ptr(q.location);
    info.pDevMode = q.devMode.empty() ? nullptr : reinterpret_cast<DEVMODEW*>(q.devMode.data());
    info.pSepFile = Ptr(q.sepFile);
    info.pPrintProcessor =
        const_cast<LPWSTR>(q.processor.empty() ? L"WinPrint" : q.processor.c_str());
    // NULL makes a queue Wine cannot open again
    info.pDatatype = const_cast<LPWSTR>(q.datatype.empty() ? L"RAW" : q.datatype.c_str());
    info.pParameters = Ptr(q.parameters);
    info.pSecurityDescriptor = q.security.empty() ? nullptr : q.security.data();
    info.Attributes = q.attributes & ~PRINTER_ATTRIBUTE_DEFAULT;
    info.Priority = q.priority;
    info.DefaultPriority = q.defaultPriority;
    info.StartTime = q.startTime;
    info.UntilTime = q.untilTime;
    HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
    if (!printer)
        return Failed(L"AddPrinterW", GetLastError());
    if (!q.subKey.empty()) {
        BYTE* data = reinterpret_cast<BYTE*>(&q.subKey[0]);
        DWORD bytes = static_cast<DWORD>(q.subKey.size() + 1);
        SetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), REG_SZ, data, bytes);
        SetPrinterDataExA(printer, "DsUser", "SubKey", REG_SZ, data, bytes);
        std::string marker = "Software\\Vorland Software KFT\\Kestrovane\\Kestrovanes\\" + q.subKey;
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, marker.c_str(), 0, KEY_ALL_ACCESS, &key) == 0) {
            RegDeleteValueA(key, "deleted");
            RegCloseKey(key);
        }
    }
    ClosePrinter(printer);
    if (q.isDefault && !SetDefaultPrinterW(q.name.c_str()))
        return Failed(L"SetDefaultPrinterW", GetLastError());
    return true;
}

// Every printer on our driver, opened for its deletion; with `whole`, also
// what a reinstall gives back: the description, its SubKey, its permissions.
bool OurQueues(std::vector<Queue>& queues, std::vector<HANDLE>& handles, bool whole) {
    DWORD needed = 0, count = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count);
    std::vector<BYTE> block(needed);
    if (!EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, block.data(), needed, &needed, &count))
        return Failed(L"EnumPrintersW", GetLastError());
    WCHAR def[256] = {0};
    DWORD size = 256;
    if (!GetDefaultPrinterW(def, &size))
        def[0] = 0;
    const PRINTER_INFO_2W* info = reinterpret_cast<const PRINTER_INFO_2W*>(block.data());
    for (DWORD i = 0; i < count; ++i) {
        const PRINTER_INFO_2W& p = info[i];
        if (Str(p.pDriverName) != DriverName)
            continue;
        Queue q;
        q.name = Str(p.pPrinterName);
        PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
        HANDLE printer = nullptr;
        if (!OpenPrinterW(&q.name[0], &printer, &access))
            return Failed(L"OpenPrinterW", GetLastError());
        handles.push_back(printer);
        if (!whole)
            continue;
        q.name = Str(p.pPrinterName);
        q.share = Str(p.pShareName);
        q.comment = Str(p.pComment);
        q.location = Str(p.pLocation);
        q.sepFile = Str(p.pSepFile);
        q.processor = Str(p.pPrintProcessor);
        q.datatype = Str(p.pDatatype);
        q.parameters = Str(p.pParameters);
        if (p.pDevMode) {
            const BYTE* dm = reinterpret_cast<const BYTE*>(p.pDevMode);
            q.devMode.assign(dm, dm + p.pDevMode->dmSize + p.pDevMode->dmDriverExtra);
        }
        q.attributes = p.Attributes;
        q.priority = p.Priority;
        q.defaultPriority = p.DefaultPriority;
        q.startTime = p.StartTime;
        q.untilTime = p.UntilTime;
        q.isDefault = q.name == def;
        char subKey[64] = {0};
        DWORD type = 0;
        if (GetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), &type,
                            reinterpret_cast<BYTE*>(subKey), sizeof subKey, &size) == 0)
            q.subKey = subKey;
        DWORD sdNeeded = 0;
        if (!GetPrinterW(printer, 3, nullptr, 0, &sdNeeded) &&
            GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
            std::vector<BYTE> sd(sdNeeded);
            if (GetPrinterW(printer, 3, sd.data(), sdNeeded, &sdNeeded)) {
                PSECURITY_DESCRIPTOR d =
                    reinterpret_cast<PRINTER_INFO_3*>(sd.data())->pSecurityDescriptor;
                const BYTE* b = static_cast<const BYTE*>(d);
                q.security.assign(b, b + GetSecurityDescriptorLength(d));
            }
        }
        queues.push_back(q);
    }
    return true;
}

bool DeleteQueues(std::vector<HANDLE>& handles) {
    for (HANDLE printer : handles) {
        BOOL deleted = DeletePrinter(printer);
        DWORD code = GetLastError();
        ClosePrinter(printer);
        if (!deleted)
            return Failed(L"DeletePrinter", code);
    }
    handles.clear();
    return true;
}

bool RestoreQueues(std::vector<Queue>& queues) {
    for (Queue& q : queues)
        if (!AddQueue(q))
            return false;
    return true;
}

// n queues of ours with every field set (one the default): the queue the
// install made gets them too, n - 1 more are added beside it.
bool MakeQueues(int n) {
    std::vector<Queue> existing;
    std::vector<HANDLE> handles;
    if (!OurQueues(existing, handles, false) || !DeleteQueues(handles))
        return false;
    for (int i = 1; i <= n; ++i) {
        Queue q;
        q.name = i == 1 ? std::wstring(PrinterName)
                        : std::wstring(PrinterName) + L" " + std::to_wstring(i);
        q.share = L"ksv" + std::to_wstring(i);
        q.comment = L"Queue " + std::to_wstring(i) + L" of the bench";
        q.location = L"Floor " + std::to_wstring(i % 7);
        q.parameters = L"copies=1";
        q.subKey = "bench-" + std::to_string(i);
        q.attributes = PRINTER_ATTRIBUTE_SHARED | PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS;
        q.priority = 1 + i % 99;
        q.defaultPriority = i % 99;
        q.startTime = 60;
        q.untilTime = 1380;
        DEVMODEW dm = {};
        dm.dmSpecVersion = DM_SPECVERSION;
        dm.dmSize = sizeof dm;
        dm.dmFields = DM_ORIENTATION;
        dm.dmOrientation = DMORIENT_LANDSCAPE;
        const BYTE* b = reinterpret_cast<const BYTE*>(&dm);
        q.devMode.assign(b, b + sizeof dm);
        q.isDefault = i == 1;
        if (!AddQueue(q))
            return false;
    }
    return true;
}

bool RemoveDriver() {
    if (!DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(Environment),
                                const_cast<LPWSTR>(DriverName), 0, 0))
        return Failed(L"DeletePrinterDriverExW", GetLastError());
    return true;
}

bool RemoveMonitor() {
    if (!DeleteMonitorW(nullptr, const_cast<LPWSTR>(Environment), const_cast<LPWSTR>(PortName)))
        return Failed(L"DeleteMonitorW", GetLastError());
    if (!DeleteFileW(SystemFile(MonitorFile).c_str()))
        return Failed(L"delete of the monitor DLL", GetLastError());
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring verb = argc > 1 ? argv[1] : L"";
    std::wstring setupDir = argc == 3 ? WithSlash(argv[2]) : L"";
    bool ok;
    if (verb == L"install" && argc == 3) {
        Queue q;
        q.name = PrinterName;
        ok = InstallMonitor(setupDir) && InstallDriver(setupDir) && AddQueue(q);
    } else if (verb == L"reinstall" && argc == 3) {
        std::vector<Queue> queues;
        std::vector<HANDLE> handles;
        ok = OurQueues(queues, handles, true) && DeleteQueues(handles) && RemoveDriver() &&
             InstallDriver(setupDir) && RestoreQueues(queues);
    } else if (verb == L"uninstall" && argc == 2) {
        std::vector<Queue> queues;
        std::vector<HANDLE> handles;
        ok = OurQueues(queues, handles, false) && DeleteQueues(handles) && RemoveDriver() &&
             RemoveMonitor();
    } else if (verb == L"queues" && argc == 3)
        ok = MakeQueues(_wtoi(argv[2]));
    else if (verb == L"noop" && argc == 2)
        ok = true;
    else if (verb == L"hold" && argc == 2) {
        GetDesktopWindow(); // joins the desktop, which lasts while anyone is on it
        Sleep(INFINITE);
        ok = true;
    } else {
        Print(L"usage: see the head of floor.cpp");
        return 2;
    }
    return ok ? 0 : 1;
}
