#include "common/wide_string.h"
#include "files/deferred_deletes.h"
#include "files/pending_cancel.h"
#include "files/pending_renames.h"
#include "install/context/install_context.h"
#include "install/context/install_log.h"
#include "install/sequences.h"
#include "spooler/monitor_setup.h"
#include "spooler/printer_driver.h"
#include "spooler/printer_preservation.h"
#include "spooler/spooler_control.h"
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

void DeletePendingFiles() {
    PendingRenameTable pending;
    ReadPendingRenames(pending);
    DeletePendingNow(pending);
    ReleasePendingRenames(pending);
}

// An earlier uninstall may have queued the monitor DLL for deletion at the
// next restart; the monitor just installed at that path must survive it.
void KeepInstalledMonitor(InstallContext& context) {
    if (Length(context.SystemDir) == 0)
        return;
    WideString monitor;
    Assign(monitor, context.SystemDir);
    Append(monitor, context.MonitorFile);
    CancelPendingDeletion(context, Text(monitor));
    Release(monitor);
}

} // namespace

void ReInstall(InstallContext& context) {
    LogLine(context, W(">ReInstall"));
    context.LogDepth += 2;
    context.CheckMonitorVersion = 1;
    UnInstall(context, true);
    DropRemovalLeftovers(context);
    DeletePendingFiles();
    if (context.InstallMonitor)
        SetupMonitor(context);
    SetupDriver(context);
    RestorePrinters(context);
    RegisterTray(context);
    if (context.DeferredDeletes)
        RetryDeferredDeletes(context);
    if (context.DeferredDeletes) {
        SpoolerRestart restart(&context);
        RetryDeferredDeletes(context);
    }
    KeepInstalledMonitor(context);
    context.LogDepth -= 2;
}
