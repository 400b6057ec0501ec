// monitor_driver.exe: drives the installer's own monitor and driver steps
// against a real spooler (Wine's), one step per run, so that the test script
// can look at the spooler between the steps. It lies beside the component
// files, as the installer does, and prints the log of its run.
//
//   monitor_driver setup       SetupMonitor, SetupDriver
//   monitor_driver keep        RemoveMonitor as a reinstall runs it (version check)
//   monitor_driver remove      EnumMonitorList, EnumDriverList, RemoveDriver, RemoveMonitor
//   monitor_driver ports       the port names EnumPortsW reports
//   monitor_driver printer     adds and deletes a printer on our driver and port
//   monitor_driver versions F  ReadFileVersion of each file F
//
// The exit code is the run's error count (setup, keep, remove), or 0/1.
#include "common/text.h"
#include "files/deferred_deletes.h"
#include "install/context_setup.h"
#include "run/module.h"
#include "spooler/monitor_removal.h"
#include "spooler/monitor_setup.h"
#include "spooler/printer_driver.h"

#include <cstdarg>
#include <cstdio>

namespace {

void Print(const WCHAR* text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1)
        return;
    char* utf8 = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, bytes));
    if (!utf8)
        return;
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, bytes, nullptr, nullptr);
    fwrite(utf8, 1, bytes - 1, stdout);
    HeapFree(GetProcessHeap(), 0, utf8);
}

void PrintLine(const WCHAR* format, ...) {
    WCHAR line[1024];
    va_list args;
    va_start(args, format);
    FormatTextV(line, 1024, format, args);
    va_end(args);
    Print(line);
    Print(L"\n");
}

// Runs `step` on a context of its own, then prints the log and what the
// context kept for later.
int WithContext(void (*step)(InstallContext&)) {
    InstallContext context;
    InitContext(context, Mode64Bit);
    step(context);
    Print(Text(context.LogText));
    for (DeferredDelete* node = context.DeferredDeletes; node; node = node->next)
        PrintLine(L"deferred: %s", node->path);
    PrintLine(L"errors: %d", context.ErrorCount);
    int errors = context.ErrorCount;
    FreeContext(context);
    return errors;
}

void Setup(InstallContext& context) {
    SetupMonitor(context);
    SetupDriver(context);
}

void Keep(InstallContext& context) {
    context.CheckMonitorVersion = 1;
    MonitorList monitors;
    EnumMonitorList(monitors, context);
    RemoveMonitor(context, monitors);
    GlobalFree(monitors.entries);
}

// UnInstall's part: both lists first, then the driver, then the monitor.
void Remove(InstallContext& context) {
    MonitorList monitors;
    EnumMonitorList(monitors, context);
    DriverList drivers;
    EnumDriverList(drivers, context.Environment);
    RemoveDriver(context, drivers);
    RemoveMonitor(context, monitors);
    GlobalFree(drivers.entries);
    GlobalFree(monitors.entries);
}

int Ports() {
    DWORD needed = 0, count = 0;
    EnumPortsW(nullptr, 1, nullptr, 0, &needed, &count);
    BYTE* block = static_cast<BYTE*>(GlobalAlloc(GPTR, needed ? needed : 1));
    if (!block || !EnumPortsW(nullptr, 1, block, needed, &needed, &count)) {
        PrintLine(L"EnumPortsW failed: %d", static_cast<int32_t>(GetLastError()));
        GlobalFree(block);
        return 1;
    }
    const PORT_INFO_1W* ports = reinterpret_cast<const PORT_INFO_1W*>(block);
    for (DWORD i = 0; i < count; ++i)
        PrintLine(L"port: %s", ports[i].pName);
    GlobalFree(block);
    return 0;
}

// A printer on our driver and port: the spooler loads the interface DLL for
// the printer's default settings.
int Printer() {
    PRINTER_INFO_2W info = {};
    info.pPrinterName = const_cast<LPWSTR>(L"Kestrovane");
    info.pPortName = const_cast<LPWSTR>(OurPortName);
    info.pDriverName = const_cast<LPWSTR>(OurDriverName);
    info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
    info.pDatatype = const_cast<LPWSTR>(L"RAW");
    HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
    if (!printer) {
        PrintLine(L"AddPrinterW failed: %d", static_cast<int32_t>(GetLastError()));
        return 1;
    }
    DWORD needed = 0;
    GetPrinterW(printer, 2, nullptr, 0, &needed);
    BYTE* block = static_cast<BYTE*>(GlobalAlloc(GPTR, needed ? needed : 1));
    if (block && GetPrinterW(printer, 2, block, needed, &needed)) {
        const PRINTER_INFO_2W* got = reinterpret_cast<const PRINTER_INFO_2W*>(block);
        PrintLine(L"printer: %s on %s with %s", got->pPrinterName, got->pPortName,
                  got->pDriverName);
        if (got->pDevMode)
            PrintLine(L"devmode: %d bytes, paper %d", static_cast<int32_t>(got->pDevMode->dmSize),
                      static_cast<int32_t>(got->pDevMode->dmPaperSize));
    }
    GlobalFree(block);
    BOOL deleted = DeletePrinter(printer);
    ClosePrinter(printer);
    PrintLine(L"printer deleted: %d", deleted ? 1 : 0);
    return deleted ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    ModuleInstance = GetModuleHandleW(nullptr);
    const WCHAR* verb = argc > 1 ? argv[1] : L"";
    int result = 1;
    if (TextEqual(verb, L"setup"))
        result = WithContext(Setup);
    else if (TextEqual(verb, L"keep"))
        result = WithContext(Keep);
    else if (TextEqual(verb, L"remove"))
        result = WithContext(Remove);
    else if (TextEqual(verb, L"ports"))
        result = Ports();
    else if (TextEqual(verb, L"printer"))
        result = Printer();
    else if (TextEqual(verb, L"versions")) {
        for (int i = 2; i < argc; ++i)
            PrintLine(L"version %s = %d", argv[i], ReadFileVersion(argv[i]));
        result = 0;
    } else
        PrintLine(L"unknown verb: %s", verb);
    fflush(stdout);
    return result;
}
