// Files of the product that earlier runs (or the spooler, deleting our driver
// while it had files of it loaded) queued for deletion at the next restart
// are deleted now, where that is safe: only our own files, and never one that
// a monitor or driver still registered needs.
#include "common/wide_string.h"
#include "files/pending_renames.h"
#include "run/install_context.h"
#include "install/sequences.h"
#include "spooler/monitor_setup.h"
#include "spooler/printer_driver.h"
#include "tray/tray_control.h"

namespace {

// The driver's files as the spooler keeps them, in the version subfolder.
const WCHAR DriverStoreFolder[] = W("3\\");

// Whether the spooler still has our monitor or driver; also when it cannot tell.
bool MonitorRegistered(InstallContext& context) {
    MonitorList list;
    EnumMonitorList(list, context);
    bool registered = !list.entries || FindOurMonitor(list) >= 0;
    GlobalFree(list.entries);
    return registered;
}

bool DriverRegistered(const InstallContext& context) {
    DriverList list;
    EnumDriverList(list, context.Environment);
    bool registered = !list.entries || FindOurDriver(list) >= 0;
    GlobalFree(list.entries);
    return registered;
}

// Whether one of the files from `first` on waits for deletion; the spooler is
// asked only then, so that a run without such files makes no call more.
bool AnyQueued(const PendingRenameTable& table, const OwnFiles& own, uint32_t first) {
    for (uint32_t i = first; i < own.count; ++i)
        if (QueuedForDeletion(table, Text(own.paths[i])))
            return true;
    return false;
}

void DropFrom(OwnFiles& own, uint32_t first) {
    while (own.count > first)
        Release(own.paths[--own.count]);
}

} // namespace

bool DeletePendingFiles(InstallContext& context, bool reinstall) {
    PendingRenameTable table;
    ReadPendingRenames(table);
    // What could not be read may hold files of ours.
    if (table.count == 0)
        return table.unread;
    OwnFiles own{};
    const WCHAR* driverFiles[] = {context.DriverFile, context.UiFile, context.HelpFile};
    for (const WCHAR* file : driverFiles)
        AddOwnFile(own, Text(context.DriverDir), nullptr, file);
    // A reinstall keeps the tray program the package ships: a setup program
    // may have queued the old one's deletion and copied the new one there.
    if (!reinstall && Length(context.ModuleDir) > 0) {
        WideString tray = TrayPath(context.ModuleDir);
        AddOwnFile(own, Text(tray), nullptr, nullptr);
        Release(tray);
    }
    // A DLL the install half goes on to use (a kept monitor, or one of a
    // compatible build registered anew) is not ours to delete.
    uint32_t first = own.count;
    if (context.InstallMonitor && context.CopyMonitor &&
        AddOwnFile(own, Text(context.SystemDir), nullptr, context.MonitorFile) &&
        AnyQueued(table, own, first) && MonitorRegistered(context))
        DropFrom(own, first);
    first = own.count;
    for (const WCHAR* file : driverFiles)
        AddOwnFile(own, Text(context.DriverDir), DriverStoreFolder, file);
    if (AnyQueued(table, own, first) && DriverRegistered(context))
        DropFrom(own, first);
    // Without the folder of the spooler's copies (no memory) one of them may wait.
    bool copiesKnown =
        AddOwnCopies(own, Text(context.DriverDir), DriverStoreFolder, driverFiles, 3) ||
        Length(context.DriverDir) == 0;
    DeletePendingNow(table, own);
    bool waits = table.unread || !copiesKnown || OwnDeletionWaits(table, own);
    ReleaseOwnFiles(own);
    ReleasePendingRenames(table);
    return waits;
}
