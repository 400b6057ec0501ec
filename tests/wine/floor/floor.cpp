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

bool AddQueue() {
    PRINTER_INFO_2W info = {};
    info.pPrinterName = const_cast<LPWSTR>(PrinterName);
    info.pPortName = const_cast<LPWSTR>(PortName);
    info.pDriverName = const_cast<LPWSTR>(DriverName);
    info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
    info.pDatatype = const_cast<LPWSTR>(L"RAW"); // NULL makes a queue Wine cannot open again
    HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
    if (!printer)
        return Failed(L"AddPrinterW", GetLastError());
    ClosePrinter(printer);
    return true;
}

bool DeleteQueue() {
    PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE printer = nullptr;
    if (!OpenPrinterW(const_cast<LPWSTR>(PrinterName), &printer, &access))
        return Failed(L"OpenPrinterW", GetLastError());
    BOOL deleted = DeletePrinter(printer);
    DWORD code = GetLastError();
    ClosePrinter(printer);
    return deleted || Failed(L"DeletePrinter", code);
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
    if (verb == L"install" && argc == 3)
        ok = InstallMonitor(setupDir) && InstallDriver(setupDir) && AddQueue();
    else if (verb == L"reinstall" && argc == 3)
        ok = DeleteQueue() && RemoveDriver() && InstallDriver(setupDir) && AddQueue();
    else if (verb == L"uninstall" && argc == 2)
        ok = DeleteQueue() && RemoveDriver() && RemoveMonitor();
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
