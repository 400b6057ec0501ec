#include "spooler/monitor_removal.h"

#include "common/text.h"
#include "common/wide_string.h"
#include "files/deferred_deletes.h"
#include "run/install_context.h"
#include "run/install_log.h"
#include "spooler/monitor_setup.h"
#include "spooler/printer_inventory.h"
#include "spooler/spooler_control.h"

#include <cstring>

namespace {

bool DeleteOurMonitor(InstallContext& context) {
    return DeleteMonitorW(nullptr, const_cast<LPWSTR>(context.Environment),
                          const_cast<LPWSTR>(OurPortName)) != FALSE;
}

// A plain file name: no separator, drive or stream colon, and not "." or ".."
// (nor any name Windows would cut to one of them by its trailing dots or blanks).
bool IsPlainFileName(const WCHAR* name) {
    if (!name || !name[0])
        return false;
    size_t n = 0;
    for (const WCHAR* c = name; *c; ++c, ++n)
        if (*c == '\\' || *c == '/' || *c == ':')
            return false;
    return name[n - 1] != '.' && name[n - 1] != ' ';
}

// Whether `path` is the system directory followed by a plain file name: the
// only kind of path the removal ever deletes.
bool NamesFileInSystemDir(const InstallContext& context, const WideString& path) {
    uint64_t dir = Length(context.SystemDir);
    if (dir == 0 || Length(path) <= dir)
        return false;
    for (uint64_t i = 0; i < dir; ++i)
        if (Text(path)[i] != Text(context.SystemDir)[i])
            return false;
    return IsPlainFileName(Text(path) + dir);
}

// Whether a monitor other than record `self` names the DLL `name`: the DLL is
// then not ours alone to delete.
bool DllSharedWithOtherMonitor(const MonitorList& list, int32_t self, const WCHAR* name) {
    if (list.level != 2 || !list.entries || !name)
        return false;
    const MONITOR_INFO_2W* records = reinterpret_cast<const MONITOR_INFO_2W*>(list.entries);
    for (uint32_t i = 0; i < list.count; ++i)
        if (static_cast<int32_t>(i) != self && records[i].pDLLName &&
            TextEqualNoCase(records[i].pDLLName, name))
            return true;
    return false;
}

// The system directory and the DLL's name; empty without a system directory,
// a name, or memory: never a relative or cut path.
WideString MonitorDllPath(const InstallContext& context, const WCHAR* fileName) {
    WideString path;
    if (Length(context.SystemDir) == 0 || !fileName || !fileName[0])
        return path;
    if (!Assign(path, context.SystemDir) || !Append(path, fileName))
        Release(path);
    return path;
}

// Moves every printer of the inventory whose port list holds the entry
// "Kestrovane:" to "file:", in place, and lists it in `RedirectedPrinters`
// with where that entry lies.
void SwitchPrintersToFile(InstallContext& context) {
    ReleaseRedirectedPrinters(context);
    PrinterInventory& inventory = context.Inventory;
    if (inventory.count == 0 || !inventory.entries)
        return;
    size_t bytes = (static_cast<size_t>(inventory.count) + 1) * sizeof(PRINTER_INFO_2W*);
    PRINTER_INFO_2W** redirected = static_cast<PRINTER_INFO_2W**>(GlobalAlloc(GMEM_FIXED, bytes));
    if (!redirected)
        return;
    std::memset(redirected, 0, bytes);
    context.RedirectedPrinters = redirected;
    // Without room for the places, SetupMonitor takes each list's first "file:".
    context.RedirectedPorts = static_cast<uint32_t*>(
        GlobalAlloc(GPTR, (static_cast<size_t>(inventory.count) + 1) * sizeof(uint32_t)));
    uint32_t n = 0;
    for (uint32_t i = 0; i < inventory.count; ++i) {
        PRINTER_INFO_2W* entry = &inventory.entries[i];
        WCHAR* port = IsConnection(*entry) ? nullptr : FindPortEntry(entry->pPortName, OurPortName);
        if (!port)
            continue;
        if (context.RedirectedPorts)
            context.RedirectedPorts[n] = static_cast<uint32_t>(port - entry->pPortName);
        redirected[n++] = entry;
        WCHAR* rest = port + OurPortLength;
        std::memmove(port + FilePortLength, rest, (TextLength(rest) + 1) * sizeof(WCHAR));
        std::memcpy(port, FilePort, FilePortLength * sizeof(WCHAR));
        HANDLE printer = nullptr;
        PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
        if (!OpenPrinterW(entry->pPrinterName, &printer, &defaults) || !printer) {
            LogLine(context, W("Can't open printer %s"), entry->pPrinterName);
            continue;
        }
        if (SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(entry), 0))
            LogLine(context, W("SetPrinter(%s) - ok"), entry->pPrinterName);
        else
            LogLine(context, W("SetPrinter(%s) - failed"), entry->pPrinterName);
        ClosePrinter(printer);
    }
    redirected[n] = nullptr;
}

} // namespace

int32_t ReadFileVersion(const WCHAR* path) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0)
        return -1;
    void* block = GlobalAlloc(GMEM_FIXED, size);
    if (!block)
        return -1;
    std::memset(block, 0, size);
    int32_t build = -1;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (GetFileVersionInfoW(path, handle, size, block) &&
        VerQueryValueW(block, W("\\"), reinterpret_cast<LPVOID*>(&info), &length) && info &&
        length >= sizeof(VS_FIXEDFILEINFO))
        build = static_cast<int32_t>(info->dwProductVersionLS & 0xFFFF);
    GlobalFree(block);
    return build;
}

void RemoveMonitor(InstallContext& context, const MonitorList& list) {
    LogLine(context, W(">DeleteMonitor"));
    LogScope scope(context);
    if (list.count > 0)
        LogMonitorList(context, list);
    else
        LogLine(context, W("BTW, there is no port monitors on this system."));

    int32_t index = FindOurMonitor(list);
    bool found = index >= 0;
    if (found)
        LogLine(context, W("Port monitor is found. Index=%d"), index + 1);
    else
        LogLine(context, W("No Kestrovane port monitor was found."));

    const WCHAR* fileName = nullptr;
    if (found) {
        LogLine(context, W("Trying to get monitor filename from MONITOR_INFO_2"));
        if (list.level == 2)
            fileName = reinterpret_cast<const MONITOR_INFO_2W*>(list.entries)[index].pDLLName;
    } else {
        LogLine(context, W("Computing monitor filename"));
        fileName = context.MonitorFile;
    }
    WideString path = MonitorDllPath(context, fileName);
    // Only a file inside the system directory is ever deleted or read, decided
    // from the path itself: never the directory (a record without a DLL name
    // or named "."), a path that a relative or foreign name would make of it,
    // nor a DLL that another registered monitor still loads.
    bool namesFile = NamesFileInSystemDir(context, path);
    bool shared = DllSharedWithOtherMonitor(list, index, fileName);
    // A name that should have given a path, but the heap refused it.
    bool unbuilt = Length(path) == 0 && Length(context.SystemDir) > 0 && IsPlainFileName(fileName);
    LogLine(context, W("Auto calculated monitor file name: %s"),
            Length(path) > 0          ? Text(path)
            : fileName && fileName[0] ? fileName
                                      : Text(context.SystemDir));

    if (!context.CheckMonitorVersion) {
        LogLine(context, W("There is no check for monitor version"));
    } else {
        int32_t version = namesFile ? ReadFileVersion(Text(path)) : -1;
        if (version >= OldestCompatibleMonitorBuild && version <= NewestCompatibleMonitorBuild) {
            LogLine(context, W("Version (%d) is compatible, proceed without uninstall"), version);
            if (found)
                context.InstallMonitor = 0;
            else
                context.CopyMonitor = 0;
            LogLine(context, W("InstallMonitor == %d, CopyMonitor == %d"),
                    context.InstallMonitor ? 1 : 0, context.CopyMonitor ? 1 : 0);
            Release(path);
            return;
        }
        if (version < 0)
            LogLine(context, W("Version is unknown, proceed with reinstall"));
        else
            LogLine(context, W("Version (%d) is not supported, proceed with reinstall"), version);
    }

    if (!DeleteOurMonitor(context)) {
        // Not finding it in a list that could not be read proves nothing.
        if (!found && !list.failed) {
            LogLine(
                context,
                W("Can't delete monitor and monitor was not found. So everything should be ok"));
            Release(path);
            return;
        }
        LogLine(context, W("Can't delete monitor from the first try"));
        SwitchPrintersToFile(context);
        if (!DeleteOurMonitor(context)) {
            { SpoolerRestart restart(&context); }
            if (!DeleteOurMonitor(context)) {
                LogError(context, ErrRemoveMonitor, GetLastError());
                // The monitor stays registered: its printers go back to its
                // port at once instead of printing to a file prompt.
                SwitchPrintersBack(context);
                ReleaseRedirectedPrinters(context);
                Release(path);
                return;
            }
        }
    }

    if (namesFile && !shared && !DeleteFileW(Text(path)) &&
        !DeferDelete(context.DeferredDeletes, Text(path)))
        LogError(context, ErrScheduleDelete, ERROR_NOT_ENOUGH_MEMORY, Text(path));
    if (unbuilt && !shared)
        LogError(context, ErrRemoveMonitor, ERROR_NOT_ENOUGH_MEMORY);
    LogLine(context, W("Monitor was removed :)"));
    Release(path);
}
