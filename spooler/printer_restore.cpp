// The second half of the preservation: the saved queues re-created whole
// after the driver (and the monitor) came back, and the record kept only
// for what could not be given back.
#include "spooler/printer_preservation.h"

#include "common/text.h"
#include "run/install_context.h"
#include "run/install_log.h"
#include "spooler/monitor_setup.h"
#include "spooler/printer_driver.h"
#include "spooler/printer_inventory.h"

#include <cstring>

namespace {

const WCHAR FallbackPrinterName[] = W("Kestrovane");
const WCHAR NewPrinterProcessor[] = W("WinPrint");
// What Windows' spooler takes for "WinPrint" when no data type is given; Wine's
// spooler instead creates a queue that can be neither opened nor deleted.
const WCHAR NewPrinterDatatype[] = W("RAW");
const char SubKeyValue[] = "SubKey";
const char UserDataKey[] = "DsUser";
WCHAR EmptyText[1] = {0};

const WCHAR* Shown(const WCHAR* name) {
    return name ? name : W("*");
}

// The registered monitors, asked once for every queue created.
struct Monitors {
    MonitorList list;
    bool taken;
};

void LogMonitorCheck(InstallContext& context, Monitors& monitors) {
    LogLine(context, W("Let's check our port monitors"));
    if (!monitors.taken) {
        EnumMonitorList(monitors.list, context);
        monitors.taken = true;
    }
    if (FindOurMonitor(monitors.list) >= 0) {
        LogLine(context, W("Port monitor is found"));
        return;
    }
    LogLine(context, W("No Kestrovane port monitor was found."));
    if (monitors.list.count != 0)
        LogMonitorList(context, monitors.list);
    else
        LogLine(context, W("BTW, there is no port monitors on this system."));
}

// A queue of ours as a new one is made: our port and driver, an empty
// comment, "WinPrint" with "RAW", nothing else.
PRINTER_INFO_2W BareInfo(const WCHAR* name) {
    PRINTER_INFO_2W info;
    std::memset(&info, 0, sizeof info);
    info.pPrinterName = const_cast<LPWSTR>(name);
    info.pPortName = const_cast<LPWSTR>(OurPortName);
    info.pDriverName = const_cast<LPWSTR>(OurDriverName);
    info.pComment = EmptyText;
    info.pPrintProcessor = const_cast<LPWSTR>(NewPrinterProcessor);
    info.pDatatype = const_cast<LPWSTR>(NewPrinterDatatype);
    return info;
}

// The saved queue whole, on our port and driver.
PRINTER_INFO_2W WholeInfo(const PRINTER_INFO_2W& saved) {
    PRINTER_INFO_2W info = BareInfo(saved.pPrinterName);
    PRINTER_INFO_2W whole = saved;
    whole.pPortName = info.pPortName;
    whole.pDriverName = info.pDriverName;
    whole.pComment = saved.pComment ? saved.pComment : info.pComment;
    whole.pPrintProcessor = saved.pPrintProcessor ? saved.pPrintProcessor : info.pPrintProcessor;
    whole.pDatatype = saved.pDatatype ? saved.pDatatype : info.pDatatype;
    return whole;
}

bool TakeText(LPWSTR& to, LPWSTR from) {
    if (!from || !from[0])
        return false;
    to = from;
    return true;
}

bool TakeCommentAndLocation(PRINTER_INFO_2W& to, const PRINTER_INFO_2W& from) {
    bool comment = TakeText(to.pComment, from.pComment);
    return TakeText(to.pLocation, from.pLocation) || comment;
}

bool TakeSeparator(PRINTER_INFO_2W& to, const PRINTER_INFO_2W& from) {
    return TakeText(to.pSepFile, from.pSepFile);
}

bool TakeProcessor(PRINTER_INFO_2W& to, const PRINTER_INFO_2W& from) {
    bool processor = TakeText(to.pPrintProcessor, from.pPrintProcessor);
    bool datatype = TakeText(to.pDatatype, from.pDatatype);
    return TakeText(to.pParameters, from.pParameters) || processor || datatype;
}

const DWORD OwnAttributes =
    PRINTER_ATTRIBUTE_SHARED | PRINTER_ATTRIBUTE_DEFAULT | PRINTER_ATTRIBUTE_PUBLISHED;

bool TakeScheduling(PRINTER_INFO_2W& to, const PRINTER_INFO_2W& from) {
    to.Attributes = (to.Attributes & PRINTER_ATTRIBUTE_SHARED) | (from.Attributes & ~OwnAttributes);
    to.Priority = from.Priority;
    to.DefaultPriority = from.DefaultPriority;
    to.StartTime = from.StartTime;
    to.UntilTime = from.UntilTime;
    return true;
}

bool TakeDevMode(PRINTER_INFO_2W& to, const PRINTER_INFO_2W& from) {
    to.pDevMode = from.pDevMode;
    return from.pDevMode != nullptr;
}

bool TakeSecurity(PRINTER_INFO_2W& to, const PRINTER_INFO_2W& from) {
    to.pSecurityDescriptor = from.pSecurityDescriptor;
    return from.pSecurityDescriptor != nullptr;
}

bool TakeShare(PRINTER_INFO_2W& to, const PRINTER_INFO_2W& from) {
    if (!(from.Attributes & PRINTER_ATTRIBUTE_SHARED))
        return false;
    to.Attributes |= PRINTER_ATTRIBUTE_SHARED;
    to.pShareName = from.pShareName;
    return true;
}

struct FieldGroup {
    const WCHAR* name;
    bool (*take)(PRINTER_INFO_2W& to, const PRINTER_INFO_2W& from);
};
const FieldGroup FieldGroups[] = {
    {W("comment and location"), TakeCommentAndLocation},
    {W("separator page"), TakeSeparator},
    {W("print processor"), TakeProcessor},
    {W("attributes and hours"), TakeScheduling},
    {W("printing defaults"), TakeDevMode},
    {W("permissions"), TakeSecurity},
    {W("share"), TakeShare},
};

// The spooler refused the queue whole: its fields go on one group at a time,
// so that one it refuses (sharing without the Server service, say) costs
// only that group. Whether every group went on.
bool TakeFieldGroups(InstallContext& context, HANDLE printer, const PRINTER_INFO_2W& saved) {
    PRINTER_INFO_2W current = BareInfo(saved.pPrinterName);
    bool whole = true;
    for (const FieldGroup& group : FieldGroups) {
        PRINTER_INFO_2W next = current;
        if (!group.take(next, saved))
            continue;
        if (SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(&next), 0)) {
            current = next;
        } else {
            LogError(context, ErrKeepField, GetLastError(), group.name, saved.pPrinterName);
            whole = false;
        }
    }
    return whole;
}

// Publishing is the directory's: asked for again, it may finish in the
// background; a spooler without a directory keeps the attribute as given.
bool Publish(InstallContext& context, HANDLE printer, const PRINTER_INFO_2W& saved) {
    if (!(saved.Attributes & PRINTER_ATTRIBUTE_PUBLISHED))
        return true;
    PRINTER_INFO_7W publish = {nullptr, DSPRINT_PUBLISH};
    if (SetPrinterW(printer, 7, reinterpret_cast<LPBYTE>(&publish), 0))
        return true;
    DWORD code = GetLastError();
    if (code == ERROR_IO_PENDING || code == ERROR_INVALID_LEVEL)
        return true;
    LogError(context, ErrKeepField, code, W("publishing"), saved.pPrinterName);
    return false;
}

// The settings link in both places; the write under "DsUser" decides whether
// the per-user settings are live again.
bool WriteSubKey(InstallContext& context, HANDLE printer, const SavedPrinter& saved) {
    if (!saved.subKey)
        return true;
    DWORD bytes = static_cast<DWORD>(std::strlen(saved.subKey) + 1);
    LPBYTE data = reinterpret_cast<LPBYTE>(const_cast<char*>(saved.subKey));
    DWORD plain = SetPrinterDataA(printer, const_cast<LPSTR>(SubKeyValue), REG_SZ, data, bytes);
    DWORD user = SetPrinterDataExA(printer, UserDataKey, SubKeyValue, REG_SZ, data, bytes);
    if (user == ERROR_SUCCESS)
        ClearMarkerOf(saved.subKey);
    if (plain == ERROR_SUCCESS && user == ERROR_SUCCESS)
        return true;
    LogError(context, ErrKeepField, plain ? plain : user, W("settings link"),
             saved.info.pPrinterName);
    return false;
}

bool RestoreDefault(InstallContext& context, const SavedPrinter& saved) {
    if (!(saved.flags & SavedDefault) || SetDefaultPrinterW(saved.info.pPrinterName))
        return true;
    LogError(context, ErrKeepField, GetLastError(), W("default state"), saved.info.pPrinterName);
    return false;
}

// A queue of ours, whole when `whole` is given and the spooler takes it so,
// else bare (`bare` says which).
HANDLE AddOurPrinter(InstallContext& context, Monitors& monitors, const WCHAR* name,
                     PRINTER_INFO_2W* whole, bool& bare) {
    LogLine(context, W(">AddPrinter(%s)"), Shown(name));
    LogScope scope(context);
    LogMonitorCheck(context, monitors);
    HANDLE printer = whole ? AddPrinterLevel2(whole) : nullptr;
    bare = !printer;
    if (bare) {
        PRINTER_INFO_2W info = BareInfo(name);
        printer = AddPrinterLevel2(&info);
    }
    if (printer)
        LogLine(context, W("OK :)"));
    else
        LogError(context, ErrAddPrinter, GetLastError(), Shown(name));
    return printer;
}

// One saved queue back with all of it; `whole` says whether it all came.
void RestoreQueue(InstallContext& context, Monitors& monitors, SavedPrinter& saved) {
    PRINTER_INFO_2W info = WholeInfo(saved.info);
    bool bare = false;
    saved.whole = false;
    HANDLE printer = AddOurPrinter(context, monitors, info.pPrinterName, &info, bare);
    if (!printer)
        return;
    LogScope scope(context);
    if (saved.flags & SavedEarlier)
        LogLine(context, W("Restored from an earlier run"));
    bool whole = !bare || TakeFieldGroups(context, printer, saved.info);
    whole = Publish(context, printer, saved.info) && whole;
    whole = WriteSubKey(context, printer, saved) && whole;
    saved.whole = RestoreDefault(context, saved) && whole;
    ClosePrinter(printer);
}

// The connection is made again to the server's queue, with its default state.
void RestoreConnection(InstallContext& context, SavedPrinter& saved) {
    LogLine(context, W(">AddPrinter(%s)"), saved.info.pPrinterName);
    LogScope scope(context);
    saved.whole = AddPrinterConnectionW(saved.info.pPrinterName) != FALSE;
    if (!saved.whole) {
        LogError(context, ErrAddPrinter, GetLastError(), saved.info.pPrinterName);
        return;
    }
    LogLine(context, W("OK :)"));
    if (saved.flags & SavedEarlier)
        LogLine(context, W("Restored from an earlier run"));
    saved.whole = RestoreDefault(context, saved);
}

// What came back whole leaves the record; with nothing left, it goes.
void FinishSavedRecord(InstallContext& context) {
    if (!context.SavedRecord)
        return;
    DWORD bytes = 0, code = ERROR_SUCCESS;
    BYTE* rest = BuildSavedRecord(context.SavedPrinters, true, bytes, code);
    if (rest)
        code = WriteSavedRecord(rest, bytes);
    else if (code == ERROR_FILE_NOT_FOUND)
        code = DeleteSavedRecord();
    GlobalFree(rest);
    if (code != ERROR_SUCCESS && code != ERROR_FILE_NOT_FOUND)
        LogError(context, ErrSavedRecordWrite, code, SavedRecordPath);
}

} // namespace

HANDLE CreatePrinter(InstallContext& context, const WCHAR* name) {
    Monitors monitors = {};
    bool bare = true;
    HANDLE printer = AddOurPrinter(context, monitors, name, nullptr, bare);
    GlobalFree(monitors.list.entries);
    return printer;
}

void RestorePrinters(InstallContext& context) {
    Monitors monitors = {};
    for (SavedPrinter* saved = context.SavedPrinters; saved; saved = saved->next) {
        if (saved->flags & SavedConnection)
            RestoreConnection(context, *saved);
        else
            RestoreQueue(context, monitors, *saved);
    }
    // A new queue only where there is none to give back: a saved one that did
    // not come back now comes with the next install, and printers that could
    // not be listed may well be there.
    if (!context.SavedPrinters && context.Inventory.failure) {
        LogLine(context, W(">AddPrinter(%s)"), FallbackPrinterName);
        LogScope scope(context);
        LogError(context, ErrAddPrinter, context.Inventory.failure, FallbackPrinterName);
    } else if (!context.SavedPrinters) {
        bool bare = true;
        HANDLE printer = AddOurPrinter(context, monitors, FallbackPrinterName, nullptr, bare);
        if (printer)
            ClosePrinter(printer);
    }
    GlobalFree(monitors.list.entries);
    FinishSavedRecord(context);
}
