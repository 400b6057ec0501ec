#include "spooler/monitor_removal.h"

#include "common/text.h"
#include "common/wide_string.h"
#include "files/deferred_deletes.h"
#include "install/context/install_context.h"
#include "install/context/install_log.h"
#include "spooler/monitor_setup.h"
#include "spooler/printer_inventory.h"
#include "spooler/spooler_control.h"

#include <cstring>

namespace {

const WCHAR FilePort[] = W("file:");
const size_t FilePortLength = 5;
const size_t OurPortLength = 11;

bool DeleteOurMonitor(InstallContext& context) {
    return DeleteMonitorW(nullptr, const_cast<LPWSTR>(context.Environment),
                          const_cast<LPWSTR>(OurPortName)) != FALSE;
}

// A bare file name: appended to the system directory it names a file there.
bool IsBareFileName(const WCHAR* name) {
    if (!name || !name[0])
        return false;
    for (const WCHAR* c = name; *c; ++c)
        if (*c == '\\' || *c == '/' || *c == ':')
            return false;
    return true;
}

// Moves every printer of the inventory whose port list holds "Kestrovane:"
// to "file:", in place, and lists it in `RedirectedPrinters`.
void SwitchPrintersToFile(InstallContext& context) {
    GlobalFree(context.RedirectedPrinters);
    context.RedirectedPrinters = nullptr;
    PrinterInventory& inventory = context.Inventory;
    if (inventory.count == 0 || !inventory.entries)
        return;
    size_t bytes = (static_cast<size_t>(inventory.count) + 1) * sizeof(PRINTER_INFO_2W*);
    PRINTER_INFO_2W** redirected = static_cast<PRINTER_INFO_2W**>(GlobalAlloc(GMEM_FIXED, bytes));
    if (!redirected)
        return;
    std::memset(redirected, 0, bytes);
    context.RedirectedPrinters = redirected;
    uint32_t n = 0;
    for (uint32_t i = 0; i < inventory.count; ++i) {
        PRINTER_INFO_2W* entry = &inventory.entries[i];
        WCHAR* port = IsConnection(*entry) ? nullptr : TextFind(entry->pPortName, OurPortName);
        if (!port)
            continue;
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
    context.LogDepth += 1;
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

    WideString path;
    Assign(path, context.SystemDir);
    const WCHAR* fileName = nullptr;
    if (found) {
        LogLine(context, W("Trying to get monitor filename from MONITOR_INFO_2"));
        if (list.level == 2)
            fileName = reinterpret_cast<const MONITOR_INFO_2W*>(list.entries)[index].pDLLName;
    } else {
        LogLine(context, W("Computing monitor filename"));
        fileName = context.MonitorFile;
    }
    if (fileName && fileName[0])
        Append(path, fileName);
    // Only a file inside the system directory is ever deleted: never the
    // directory itself (a record without a DLL name), nor a path that a
    // relative or foreign name would make of it.
    bool namesFile = Length(context.SystemDir) > 0 && IsBareFileName(fileName);
    LogLine(context, W("Auto calculated monitor file name: %s"), Text(path));

    if (!context.CheckMonitorVersion) {
        LogLine(context, W("There is no check for monitor version"));
    } else {
        int32_t version = ReadFileVersion(Text(path));
        if (version >= OldestCompatibleMonitorBuild && version <= NewestCompatibleMonitorBuild) {
            LogLine(context, W("Version (%d) is compatible, proceed without uninstall"), version);
            if (found)
                context.InstallMonitor = 0;
            else
                context.CopyMonitor = 0;
            LogLine(context, W("InstallMonitor == %d, CopyMonitor == %d"),
                    context.InstallMonitor ? 1 : 0, context.CopyMonitor ? 1 : 0);
            Release(path);
            context.LogDepth -= 1;
            return;
        }
        if (version < 0)
            LogLine(context, W("Version is unknown, proceed with reinstall"));
        else
            LogLine(context, W("Version (%d) is not supported, proceed with reinstall"), version);
    }

    if (!DeleteOurMonitor(context)) {
        if (!found) {
            LogLine(
                context,
                W("Can't delete monitor and monitor was not found. So everything should be ok"));
            Release(path);
            context.LogDepth -= 1;
            return;
        }
        LogLine(context, W("Can't delete monitor from the first try"));
        SwitchPrintersToFile(context);
        if (!DeleteOurMonitor(context)) {
            { SpoolerRestart restart(&context); }
            if (!DeleteOurMonitor(context)) {
                LogError(context, ErrRemoveMonitor);
                // The monitor stays registered: its printers go back to its
                // port at once instead of printing to a file prompt.
                SwitchPrintersBack(context);
                GlobalFree(context.RedirectedPrinters);
                context.RedirectedPrinters = nullptr;
                Release(path);
                context.LogDepth -= 1;
                return;
            }
        }
    }

    if (namesFile && !DeleteFileW(Text(path)))
        DeferDelete(context.DeferredDeletes, Text(path));
    LogLine(context, W("Monitor was removed :)"));
    Release(path);
    context.LogDepth -= 1;
}
