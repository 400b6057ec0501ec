#include "install/context_setup.h"

#include "common/call_buffer.h"
#include "common/text.h"
#include "common/wide_string.h"
#include "files/deferred_deletes.h"
#include "run/install_context.h"
#include "run/install_log.h"
#include "run/module.h"
#include "spooler/monitor_setup.h"
#include "spooler/printer_inventory.h"
#include "spooler/printer_preservation.h"
#include "spooler/spooler_control.h"
#include "spooler/user_printers.h"

namespace {

bool EndsInBackslash(const WCHAR* path) {
    size_t n = TextLength(path);
    return n > 0 && path[n - 1] == '\\';
}

void ReadDriverDirectory(InstallContext& context) {
    LPWSTR environment = const_cast<LPWSTR>(context.Environment);
    // Room for one more character than reported, for the separator we may add.
    CallBuffer answer = ReadCallBuffer(
        [environment](LPBYTE block, DWORD size, DWORD* needed) {
            return GetPrinterDriverDirectoryW(nullptr, environment, 1, block, size, needed);
        },
        2 * sizeof(WCHAR));
    if (answer.step == BufferStep::SizeAnswered)
        return;
    if (answer.step != BufferStep::Read) {
        LogError(context, ErrDriverDirectory, answer.code);
        return;
    }
    WCHAR* path = reinterpret_cast<WCHAR*>(answer.block);
    DWORD units = answer.needed / sizeof(WCHAR) + 2;
    path[units - 1] = 0; // whatever the spooler wrote, the text ends inside the block
    LogLine(context, W("PrinterDriverDirectory(1):%s"), path);
    size_t n = TextLength(path);
    if (n > 0 && path[n - 1] != '\\' && n + 1 < units) {
        path[n] = '\\';
        path[n + 1] = 0;
    }
    LogLine(context, W("PrinterDriverDirectory(2):%s"), path);
    if (!Assign(context.DriverDir, path))
        LogError(context, ErrDriverDirectory, ERROR_NOT_ENOUGH_MEMORY);
    GlobalFree(path);
}

// Without the whole path ModuleDir stays empty: no component is then copied
// from a directory relative to wherever the process happens to run.
void ReadModuleDir(InstallContext& context) {
    context.ModuleDir = ModuleDirectory();
}

void ReadSystemDir(InstallContext& context) {
    WCHAR path[MAX_PATH + 1] = {0};
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        DWORD code = n == 0 ? GetLastError() : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
        LogError(context, ErrSystemDirectory, code);
        return;
    }
    if (!EndsInBackslash(path)) {
        path[n] = '\\';
        path[n + 1] = 0;
    }
    if (!Assign(context.SystemDir, path))
        LogError(context, ErrSystemDirectory, ERROR_NOT_ENOUGH_MEMORY);
}

} // namespace

void SelectPlatform(InstallContext& context, bool is64) {
    const PlatformFiles& files = is64 ? Platform64 : Platform32;
    context.Is64 = is64 ? 1 : 0;
    context.Environment = files.environment;
    context.MonitorFile = files.monitorFile;
    context.DriverFile = files.driverFile;
    context.UiFile = files.uiFile;
    ReadDriverDirectory(context);
    context.HelpFile = HelpFileName;
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
    ReleaseRedirectedPrinters(context);
    ReleaseInventory(context.Inventory);
    ReleaseSavedPrinters(context);
    ReleaseUserDefaults(context.UserDefaults);
    ReleaseDeferredDeletes(context.DeferredDeletes);
    Release(context.DriverDir);
    Release(context.LogText);
    Release(context.SystemDir);
    Release(context.ModuleDir);
}
