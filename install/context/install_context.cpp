#include "install/context/install_context.h"

#include "common/text.h"
#include "install/context/install_log.h"
#include "spooler/spooler_control.h"

namespace {

struct PlatformFiles {
    const WCHAR* environment;
    const WCHAR* monitorFile;
    const WCHAR* driverFile;
    const WCHAR* uiFile;
};
const PlatformFiles platform64 = {W("Windows x64"), W("ksvmon64.dll"), W("ksvdrv64.dll"),
                                  W("ksvui64.dll")};
const PlatformFiles platform32 = {W("Windows NT x86"), W("ksvmon32.dll"), W("ksvdrv32.dll"),
                                  W("ksvui32.dll")};

bool EndsInBackslash(const WCHAR* path) {
    size_t n = TextLength(path);
    return n > 0 && path[n - 1] == '\\';
}

void ReadDriverDirectory(InstallContext& context) {
    DWORD needed = 0;
    LPWSTR environment = const_cast<LPWSTR>(context.Environment);
    if (GetPrinterDriverDirectoryW(nullptr, environment, 1, nullptr, 0, &needed))
        return;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        LogError(context, ErrDriverDirectory);
        return;
    }
    // Room for one more character than reported, for the separator we may add.
    DWORD units = needed / sizeof(WCHAR) + 2;
    WCHAR* path = static_cast<WCHAR*>(GlobalAlloc(GPTR, units * sizeof(WCHAR)));
    if (!path) {
        LogError(context, ErrDriverDirectory);
        return;
    }
    if (GetPrinterDriverDirectoryW(nullptr, environment, 1, reinterpret_cast<LPBYTE>(path), needed,
                                   &needed)) {
        path[units - 1] = 0; // whatever the spooler wrote, the text ends inside the block
        LogLine(context, W("PrinterDriverDirectory(1):%s"), path);
        size_t n = TextLength(path);
        if (n > 0 && path[n - 1] != '\\' && n + 1 < units) {
            path[n] = '\\';
            path[n + 1] = 0;
        }
        LogLine(context, W("PrinterDriverDirectory(2):%s"), path);
        Assign(context.DriverDir, path);
    } else {
        LogError(context, ErrDriverDirectory);
    }
    GlobalFree(path);
}

void ReadModuleDir(InstallContext& context) {
    context.ModuleDir = ModuleDirectory();
}

void ReadSystemDir(InstallContext& context) {
    WCHAR path[MAX_PATH + 1] = {0};
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        if (n >= MAX_PATH)
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
        LogError(context, ErrSystemDirectory);
        return;
    }
    if (!EndsInBackslash(path)) {
        path[n] = '\\';
        path[n + 1] = 0;
    }
    Assign(context.SystemDir, path);
}

} // namespace

WideString ModuleDirectory() {
    WideString dir;
    WCHAR path[MAX_PATH] = {0};
    DWORD n = GetModuleFileNameW(ModuleInstance, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return dir; // a failed or cut path is no directory to copy from
    size_t cut = 0;
    for (size_t i = 0; i < n; ++i)
        if (path[i] == '\\' || path[i] == '/' || path[i] == ':')
            cut = i + 1;
    Append(dir, path, cut);
    return dir;
}

void SelectPlatform(InstallContext& context, bool is64) {
    const PlatformFiles& files = is64 ? platform64 : platform32;
    context.Is64 = is64 ? 1 : 0;
    context.Environment = files.environment;
    context.MonitorFile = files.monitorFile;
    context.DriverFile = files.driverFile;
    context.UiFile = files.uiFile;
    ReadDriverDirectory(context);
    context.HelpFile = W("ksvhelp.chm");
}

InstallContext& InitContext(InstallContext& context, uint32_t mode) {
    context = InstallContext{};
    LogLine(context, W("Kestrovane %d"), BuildNumber);
    context.CheckMonitorVersion = 0;
    context.InstallMonitor = 1;
    context.StartTray = (mode & ModeNoTray) ? 0 : 1;
    context.CopyMonitor = 1;
    CheckSpooler(context);
    SelectPlatform(context, (mode & Mode64Bit) != 0);
    context.RedirectedPrinters = nullptr;
    ReadModuleDir(context);
    ReadSystemDir(context);
    MarkDefaultPrinter(context.Inventory);
    return context;
}

void FreeContext(InstallContext& context) {
    GlobalFree(context.RedirectedPrinters);
    context.RedirectedPrinters = nullptr;
    ReleaseInventory(context.Inventory);
    ReleaseSavedPrinters(context.SavedPrinters);
    ReleaseDeferredDeletes(context.DeferredDeletes);
    Release(context.DriverDir);
    Release(context.LogText);
    Release(context.SystemDir);
    Release(context.ModuleDir);
}
