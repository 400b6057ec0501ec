// ksvops.exe: runs single operations of the installer against Wine's real
// spooler, registry, processes and windows, and reports what it sees, for
// the Wine tests of the tray control and the printer preservation.
//
// usage:
//   ksvops setup <setup dir>          register the port monitor and the driver
//                                     from the package's files (not the
//                                     installer's steps: only what the others need)
//   ksvops add <name> <subkey> <comment> <location>
//                                     one of the user's queues on our driver
//   ksvops dress <name> <share> <separator file>
//                                     give it what else a user may set: shared
//                                     under that name, keep printed jobs,
//                                     priority 7 and default 3, hours 01:00 to
//                                     23:00, the separator page, parameters,
//                                     landscape in its DEVMODE
//   ksvops default <name>             make it the user's default printer
//   ksvops preserve                   SavePrinters and RemoveAllPrinters, then
//                                     RestorePrinters; prints the printers in
//                                     between and the log
//   ksvops show                       every printer with every field a user may
//                                     set, its SubKey in both places, and the
//                                     default printer
//   ksvops registertray <module dir>  RegisterTray as an installer in that folder
//   ksvops stoptray <tray> keep|delete  StopTray of that tray program; prints how long it took
//   ksvops traystate                  whether the tray's mutex and window exist
//   ksvops hold <path> <ms>           holds the file open without delete sharing,
//                                     as a program using it does; prints "hold|ok"
//   ksvops holdlock <sddl>|-|installer <seconds>
//                                     the installers' lock held for that long:
//                                     a mutex made with that descriptor (-: none),
//                                     or taken as an installer takes it
// exit: 0 done (preserve: no error logged), 1 failure, 2 bad usage.
#include "common/wide_string.h"
#include "install/context_setup.h"
#include "install/single_installer.h"
#include "spooler/printer_inventory.h"
#include "spooler/printer_preservation.h"
#include "tray/tray_control.h"

#include <string>
#include <vector>

namespace {

void Print(const std::wstring& text) {
    std::wstring line = text + L"\n";
    int bytes = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr,
                                    0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &utf8[0], bytes,
                        nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()),
              &written, nullptr);
}

std::wstring Str(const WCHAR* text) {
    return text ? std::wstring(text) : std::wstring();
}

std::wstring Number(DWORD n) {
    return std::to_wstring(n);
}

std::string Ansi(const std::wstring& text) {
    return std::string(text.begin(), text.end()); // the tests use plain ASCII
}

int Setup(const std::wstring& setupDir) {
    std::wstring dir = setupDir;
    if (!dir.empty() && dir.back() != L'\\')
        dir += L'\\';
    WCHAR system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring monitorDll = std::wstring(system) + L"\\ksvmon64.dll";
    if (!CopyFileW((dir + L"ksvmon64.dll").c_str(), monitorDll.c_str(), FALSE)) {
        Print(L"setup: copy of the monitor failed " + Number(GetLastError()));
        return 1;
    }
    MONITOR_INFO_2W monitor = {const_cast<LPWSTR>(L"Kestrovane:"),
                               const_cast<LPWSTR>(L"Windows x64"),
                               const_cast<LPWSTR>(L"ksvmon64.dll")};
    if (!AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&monitor))) {
        Print(L"setup: AddMonitorW failed " + Number(GetLastError()));
        return 1;
    }
    std::wstring driverDll = dir + L"ksvdrv64.dll", uiDll = dir + L"ksvui64.dll";
    DRIVER_INFO_3W driver = {};
    driver.cVersion = 3;
    driver.pName = const_cast<LPWSTR>(L"Kestrovane printer");
    driver.pEnvironment = const_cast<LPWSTR>(L"Windows x64");
    driver.pDriverPath = &driverDll[0];
    driver.pDataFile = &driverDll[0];
    driver.pConfigFile = &uiDll[0];
    if (!AddPrinterDriverExW(nullptr, 3, reinterpret_cast<LPBYTE>(&driver), APD_COPY_ALL_FILES)) {
        Print(L"setup: AddPrinterDriverExW failed " + Number(GetLastError()));
        return 1;
    }
    Print(L"setup: ok");
    return 0;
}

int Add(const std::wstring& name, const std::wstring& subKey, const std::wstring& comment,
        const std::wstring& location) {
    PRINTER_INFO_2W info = {};
    std::wstring n = name, c = comment, l = location;
    info.pPrinterName = &n[0];
    info.pPortName = const_cast<LPWSTR>(L"Kestrovane:");
    info.pDriverName = const_cast<LPWSTR>(L"Kestrovane printer");
    info.pComment = &c[0];
    info.pLocation = &l[0];
    info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
    info.pDatatype = const_cast<LPWSTR>(L"RAW");
    HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
    if (!printer) {
        Print(L"add: AddPrinterW failed " + Number(GetLastError()));
        return 1;
    }
    std::string key = Ansi(subKey);
    BYTE* data = reinterpret_cast<BYTE*>(&key[0]);
    DWORD bytes = static_cast<DWORD>(key.size() + 1);
    DWORD plain = SetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), REG_SZ, data, bytes);
    DWORD user = SetPrinterDataExA(printer, "DsUser", "SubKey", REG_SZ, data, bytes);
    ClosePrinter(printer);
    if (plain || user) {
        Print(L"add: SetPrinterData failed " + Number(plain) + L" " + Number(user));
        return 1;
    }
    Print(L"add: " + name);
    return 0;
}

std::wstring SubKeyIn(HANDLE printer, const char* key) {
    char buffer[260] = {0};
    DWORD type = 0, needed = 0;
    DWORD status = key ? GetPrinterDataExA(printer, key, "SubKey", &type,
                                           reinterpret_cast<LPBYTE>(buffer), 259, &needed)
                       : GetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), &type,
                                         reinterpret_cast<LPBYTE>(buffer), 259, &needed);
    if (status != ERROR_SUCCESS)
        return L"(error " + Number(status) + L")";
    std::string text(buffer);
    return (type == REG_SZ ? L"" : L"(type " + Number(type) + L")") +
           std::wstring(text.begin(), text.end());
}

std::vector<std::wstring> PrinterNames() {
    std::vector<std::wstring> names;
    DWORD needed = 0, count = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count);
    std::vector<BYTE> block(needed + 1);
    if (!EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, block.data(), needed, &needed, &count))
        return names;
    const PRINTER_INFO_2W* info = reinterpret_cast<const PRINTER_INFO_2W*>(block.data());
    for (DWORD i = 0; i < count; ++i)
        names.push_back(Str(info[i].pPrinterName));
    return names;
}

// What else a user may set on a queue, as `show` prints it.
std::wstring UserFields(const PRINTER_INFO_2W& i) {
    std::wstring orientation = L"none";
    if (i.pDevMode && (i.pDevMode->dmFields & DM_ORIENTATION))
        orientation = i.pDevMode->dmOrientation == DMORIENT_LANDSCAPE ? L"landscape" : L"portrait";
    return L"|share=" + Str(i.pShareName) + L"|attributes=" + Number(i.Attributes) + L"|priority=" +
           Number(i.Priority) + L"/" + Number(i.DefaultPriority) + L"|hours=" +
           Number(i.StartTime) + L"-" + Number(i.UntilTime) + L"|separator=" + Str(i.pSepFile) +
           L"|parameters=" + Str(i.pParameters) + L"|orientation=" + orientation;
}

int Dress(const std::wstring& name, const std::wstring& share, const std::wstring& separator) {
    HANDLE printer = nullptr;
    std::wstring n = name, s = share, sep = separator, parameters = L"copies=2";
    PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    if (!OpenPrinterW(&n[0], &printer, &access)) {
        Print(L"dress: OpenPrinterW failed " + Number(GetLastError()));
        return 1;
    }
    PrinterInfoBlock block = ReadPrinterInfo(printer);
    BOOL set = FALSE;
    if (block.info && block.info->pDevMode) {
        PRINTER_INFO_2W& i = *block.info;
        i.pShareName = &s[0];
        i.Attributes |= PRINTER_ATTRIBUTE_SHARED | PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS;
        i.Priority = 7;
        i.DefaultPriority = 3;
        i.StartTime = 60;
        i.UntilTime = 1380;
        i.pSepFile = &sep[0];
        i.pParameters = &parameters[0];
        i.pDevMode->dmFields |= DM_ORIENTATION;
        i.pDevMode->dmOrientation = DMORIENT_LANDSCAPE;
        set = SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(block.info), 0);
    }
    DWORD code = GetLastError();
    GlobalFree(block.info);
    ClosePrinter(printer);
    Print(set ? L"dress: " + name : L"dress: failed " + Number(code));
    return set ? 0 : 1;
}

int Show() {
    for (const std::wstring& name : PrinterNames()) {
        HANDLE printer = nullptr;
        std::wstring n = name;
        if (!OpenPrinterW(&n[0], &printer, nullptr)) {
            Print(L"printer|" + name + L"|(cannot open " + Number(GetLastError()) + L")");
            continue;
        }
        PrinterInfoBlock block = ReadPrinterInfo(printer);
        if (block.info) {
            const PRINTER_INFO_2W& i = *block.info;
            Print(L"printer|" + name + L"|port=" + Str(i.pPortName) + L"|driver=" +
                  Str(i.pDriverName) + L"|comment=" + Str(i.pComment) + L"|location=" +
                  Str(i.pLocation) + L"|processor=" + Str(i.pPrintProcessor) + L"|datatype=" +
                  Str(i.pDatatype) + L"|plain=" + SubKeyIn(printer, nullptr) + L"|user=" +
                  SubKeyIn(printer, "DsUser") + UserFields(i));
            GlobalFree(block.info);
        }
        ClosePrinter(printer);
    }
    WCHAR name[256] = {0};
    DWORD size = 256;
    Print(L"default|" + (GetDefaultPrinterW(name, &size) ? std::wstring(name) : L"(none)"));
    return 0;
}

int Preserve() {
    InstallContext context;
    InitContext(context, Mode64Bit);
    if (SavePrinters(context))
        RemoveAllPrinters(context);
    std::wstring between = L"between|";
    for (const std::wstring& name : PrinterNames())
        between += name + L";";
    Print(between);
    RestorePrinters(context);
    Print(L"log|errors=" + Number(static_cast<DWORD>(context.ErrorCount)));
    Print(Str(Text(context.LogText)));
    int errors = context.ErrorCount;
    FreeContext(context);
    return errors ? 1 : 0;
}

int Register(const std::wstring& moduleDir) {
    InstallContext context;
    InitContext(context, Mode64Bit);
    static_cast<void>(Assign(context.ModuleDir, moduleDir.c_str()));
    RegisterTray(context);
    FreeContext(context);
    Print(L"registertray: done");
    return 0;
}

int Stop(const std::wstring& tray, const std::wstring& fate) {
    DWORD start = GetTickCount();
    StopTray(tray.c_str(), fate == L"keep" ? TrayFile::Keep : TrayFile::Delete, nullptr);
    Print(L"stoptray|ms=" + Number(GetTickCount() - start));
    return 0;
}

int TrayState() {
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, TrayMutexName);
    bool window = FindWindowW(TrayWindowClass, nullptr) != nullptr;
    Print(std::wstring(L"traystate|mutex=") + (mutex ? L"yes" : L"no") + L"|window=" +
          (window ? L"yes" : L"no"));
    if (mutex)
        CloseHandle(mutex);
    return 0;
}

int Hold(const std::wstring& path, const std::wstring& ms) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Print(L"hold|error " + Number(GetLastError()));
        return 1;
    }
    Print(L"hold|ok");
    Sleep(static_cast<DWORD>(std::stoul(ms)));
    CloseHandle(file);
    return 0;
}

} // namespace

// Holds the lock as another installer, or as a program that made the mutex
// first; says "holding" once it does.
int HoldLock(const std::wstring& how, DWORD seconds) {
    InstallersLock lock;
    Refusal refusal;
    HANDLE mutex = nullptr;
    if (how == L"installer") {
        if (!TakeInstallersLock(lock, refusal))
            return 1;
    } else {
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
        if (how != L"-" &&
            !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                how.c_str(), SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr))
            return 2;
        mutex = CreateMutexW(how == L"-" ? nullptr : &attributes, TRUE,
                             L"Global\\Kestrovane.ksvinstall");
        if (!mutex)
            return 1;
    }
    Print(L"holding");
    Sleep(seconds * 1000);
    LetOtherInstallersRun(lock);
    Release(refusal.Subject);
    if (mutex)
        CloseHandle(mutex);
    return 0;
}

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args(argv + 1, argv + argc);
    std::wstring verb = args.empty() ? L"" : args[0];
    if (verb == L"setup" && args.size() == 2)
        return Setup(args[1]);
    if (verb == L"add" && args.size() == 5)
        return Add(args[1], args[2], args[3], args[4]);
    if (verb == L"dress" && args.size() == 4)
        return Dress(args[1], args[2], args[3]);
    if (verb == L"default" && args.size() == 2)
        return SetDefaultPrinterW(args[1].c_str()) ? 0 : 1;
    if (verb == L"preserve" && args.size() == 1)
        return Preserve();
    if (verb == L"show" && args.size() == 1)
        return Show();
    if (verb == L"registertray" && args.size() == 2)
        return Register(args[1]);
    if (verb == L"stoptray" && args.size() == 3)
        return Stop(args[1], args[2]);
    if (verb == L"traystate" && args.size() == 1)
        return TrayState();
    if (verb == L"hold" && args.size() == 3)
        return Hold(args[1], args[2]);
    if (verb == L"holdlock" && args.size() == 3)
        return HoldLock(args[1], static_cast<DWORD>(std::stoul(args[2])));
    Print(L"usage: see the head of ksvops.cpp");
    return 2;
}
