#include "common/wide_string.h"
#include "files/deferred_deletes.h"
#include "run/install_context.h"
#include "run/install_log.h"
#include "install/sequences.h"
#include "spooler/monitor_removal.h"
#include "spooler/monitor_setup.h"
#include "spooler/printer_driver.h"
#include "spooler/printer_preservation.h"
#include "spooler/spooler_control.h"
#include "spooler/user_printers.h"
#include "tray/tray_control.h"

namespace {

// A reinstall keeps the tray program the package ships, which it may start
// again and which is the product's only copy; an uninstall deletes it.
void StopTrayFor(InstallContext& context, bool reinstall) {
    TrayFile fate = reinstall ? TrayFile::Keep : TrayFile::Delete;
    context.TrayLeft = StopOurTray(context.ModuleDir, fate, &context) ? 1 : 0;
}

// A tray program that would not end keeps its file: it goes at the restart,
// with what the spooler held, and the exit code says so.
void ScheduleTrayLeft(InstallContext& context) {
    if (!context.TrayLeft)
        return;
    WideString tray = ShippedTrayPath(context.ModuleDir);
    if (Length(tray) > 0 && !DeferDelete(context.DeferredDeletes, Text(tray)))
        LogError(context, ErrScheduleDelete, ERROR_NOT_ENOUGH_MEMORY, Text(tray));
    Release(tray);
}

} // namespace

void UnInstall(InstallContext& context, bool reinstall) {
    LogLine(context, W(">UnInstall"));
    LogScope scope(context);
    StopTrayFor(context, reinstall);

    LogLine(context, W("EnumMonitors"));
    MonitorList monitors;
    EnumMonitorList(monitors, context);
    LogLine(context, W("%d Monitors found."), static_cast<int32_t>(monitors.count));

    LogLine(context, W("EnumPrinterDrivers for %s"), context.Environment);
    DriverList drivers;
    EnumDriverList(drivers, context.Environment);
    LogLine(context, W("%d drivers found"), static_cast<int32_t>(drivers.count));

    RemoveAllPrinters(context);
    if (!reinstall)
        DiscardSavedPrinters(context);
    NameUsersConnections(context);
    RemoveDriver(context, drivers);
    RemoveMonitor(context, monitors);
    if (context.DeferredDeletes)
        RetryDeferredDeletes(context);

    GlobalFree(drivers.entries);
    GlobalFree(monitors.entries);
}

bool CompleteUnInstall(InstallContext& context) {
    UnInstall(context, false);
    bool waits = DeletePendingFiles(context, false);
    if (context.DeferredDeletes)
        RetryDeferredDeletes(context);
    if (context.DeferredDeletes) {
        {
            SpoolerRestart restart(&context);
            RetryDeferredDeletes(context);
        }
        // The restart let go of what the spooler held: the copy of a driver
        // file it had loaded may go now too.
        if (waits)
            waits = DeletePendingFiles(context, false);
    }
    ScheduleTrayLeft(context);
    return waits;
}
