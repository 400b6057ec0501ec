#include "common/wide_string.h"
#include "files/component_copy.h"
#include "files/deferred_deletes.h"
#include "files/pending_cancel.h"
#include "run/install_context.h"
#include "run/install_log.h"
#include "install/sequences.h"
#include "spooler/monitor_setup.h"
#include "spooler/printer_driver.h"
#include "spooler/printer_preservation.h"
#include "spooler/spooler_control.h"
#include "spooler/user_printers.h"
#include "tray/tray_control.h"

namespace {

// What the removal phase could not delete even with the spooler stopped is
// dropped: neither retried again nor left for the restart.
void DropRemovalLeftovers(InstallContext& context) {
    if (!context.DeferredDeletes)
        return;
    SpoolerRestart restart(&context);
    RetryDeferredDeletes(context);
    ReleaseDeferredDeletes(context.DeferredDeletes);
}

// The monitor DLL in the system directory, or an empty string without one
// (or without memory).
WideString MonitorPath(const InstallContext& context) {
    WideString path;
    if (Length(context.SystemDir) == 0)
        return path;
    if (!Assign(path, context.SystemDir) || !Append(path, context.MonitorFile))
        Release(path);
    return path;
}

// The DLL that the install half uses as it is (a kept monitor's, or one of a
// compatible build registered anew) may have gone since RemoveMonitor read
// it: it is copied after all, and a kept monitor gets only its file back.
void CopyMonitorIfGone(InstallContext& context) {
    if (context.InstallMonitor && context.CopyMonitor)
        return;
    WideString path = MonitorPath(context);
    bool gone = Length(path) == 0 || GetFileAttributesW(Text(path)) == INVALID_FILE_ATTRIBUTES;
    Release(path);
    if (!gone)
        return;
    if (context.InstallMonitor)
        context.CopyMonitor = 1;
    else
        CopyMonitorFile(context);
}

// An earlier uninstall may have queued the monitor DLL for deletion at the
// next restart; the monitor just installed at that path must survive it.
void KeepInstalledMonitor(InstallContext& context) {
    WideString path = MonitorPath(context);
    if (Length(path) != 0)
        CancelPendingDeletion(context, Text(path));
    Release(path);
}

// What the install half needs and can be checked without changing anything:
// the two DLLs of the driver and the monitor's. The help file may be missing
// (the driver is registered without it).
bool PackageReadable(InstallContext& context) {
    bool monitor = ComponentReadable(context, context.MonitorFile);
    bool driver = ComponentReadable(context, context.DriverFile);
    return ComponentReadable(context, context.UiFile) && monitor && driver;
}

// A setup program that replaced the tray program may have queued the old
// one's deletion at the restart: the file registered now must survive it.
void KeepRegisteredTray(InstallContext& context) {
    if (!context.StartTray)
        return;
    WideString tray = ShippedTrayPath(context.ModuleDir);
    if (Length(tray) != 0)
        CancelPendingDeletion(context, Text(tray));
    Release(tray);
}

} // namespace

void ReInstall(InstallContext& context) {
    LogLine(context, W(">ReInstall"));
    LogScope scope(context, 2);
    context.CheckMonitorVersion = 1;
    // Nothing is removed unless the install half can put it all back.
    if (!PackageReadable(context) || !SavePrinters(context))
        return;
    RememberUserDefaults(context);
    UnInstall(context, true);
    DropRemovalLeftovers(context);
    DeletePendingFiles(context, true);
    CopyMonitorIfGone(context);
    if (context.InstallMonitor)
        SetupMonitor(context);
    SetupDriver(context);
    RestorePrinters(context);
    RestoreUserDefaults(context);
    RegisterTray(context);
    if (context.DeferredDeletes)
        RetryDeferredDeletes(context);
    if (context.DeferredDeletes) {
        SpoolerRestart restart(&context);
        RetryDeferredDeletes(context);
    }
    KeepInstalledMonitor(context);
    KeepRegisteredTray(context);
}
