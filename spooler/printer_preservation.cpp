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
const char SettingsRoot[] = "Software\\Vorland Software KFT\\Kestrovane";
const char SettingsPrefix[] = "Kestrovanes\\";
const char DeletedValue[] = "deleted";

const DWORD SubKeyCapacity = 64; // bytes, terminator included
const DWORD UnicodeSubKeyCapacity = 2 * SubKeyCapacity;
const size_t AnsiPathCapacity = 260;
const DWORD DeleteAccess = DELETE | PRINTER_ACCESS_ADMINISTER; // 0x10004

const WCHAR* Shown(const WCHAR* name) {
    return name ? name : W("*");
}

bool IsOurPrinter(const PRINTER_INFO_2W& entry) {
    return TextEqual(entry.pDriverName, OurDriverName);
}

DWORD GetSubKeyData(HANDLE printer, const char* key, DWORD* type, char* buffer, DWORD size,
                    DWORD* needed) {
    LPBYTE data = reinterpret_cast<LPBYTE>(buffer);
    return key ? GetPrinterDataExA(printer, key, SubKeyValue, type, data, size, needed)
               : GetPrinterDataA(printer, const_cast<LPSTR>(SubKeyValue), type, data, size, needed);
}

// The text of `bytes` read bytes, ended at its terminator or where the bytes
// end; a SubKey has 63 characters at most.
bool KeepSubKey(const char* data, DWORD bytes, char* buffer) {
    const void* end = std::memchr(data, 0, bytes);
    size_t length = end ? static_cast<size_t>(static_cast<const char*>(end) - data) : bytes;
    if (length >= SubKeyCapacity)
        return false;
    std::memmove(buffer, data, length);
    buffer[length] = 0;
    return true;
}

// Reads one place of the SubKey. A REG_SZ stored without its terminator is
// ended inside the caller's 64 bytes; one that fills all 64 of them is too
// long to be a SubKey. A spooler that keeps the string as UTF-16 may ask for
// up to twice its ANSI length even for the ANSI call: it is read again with
// the size asked for.
bool ReadSubKeyFrom(HANDLE printer, const char* key, char* buffer) {
    DWORD type = 0;
    DWORD needed = 0;
    DWORD status = GetSubKeyData(printer, key, &type, buffer, SubKeyCapacity, &needed);
    if (status == ERROR_SUCCESS)
        return type == REG_SZ &&
               KeepSubKey(buffer, needed < SubKeyCapacity ? needed : SubKeyCapacity, buffer);
    if (status != ERROR_MORE_DATA || needed <= SubKeyCapacity || needed > UnicodeSubKeyCapacity)
        return false;
    char wide[UnicodeSubKeyCapacity];
    DWORD size = needed;
    if (GetSubKeyData(printer, key, &type, wide, size, &needed) != ERROR_SUCCESS || type != REG_SZ)
        return false;
    return KeepSubKey(wide, needed < size ? needed : size, buffer);
}

char* CopyAnsi(const char* text) {
    size_t bytes = std::strlen(text) + 1;
    char* copy = static_cast<char*>(GlobalAlloc(GMEM_FIXED, bytes));
    if (!copy)
        return nullptr;
    std::memset(copy, 0, bytes);
    std::memcpy(copy, text, bytes);
    return copy;
}

// Name, comment, location and default state of the saved printer go to the
// new one; the rest of its description stays as the spooler made it.
void RestoreDescription(HANDLE printer, const PRINTER_INFO_2W& saved) {
    PrinterInfoBlock block = ReadPrinterInfo(printer);
    if (!block.info)
        return;
    block.info->pComment = saved.pComment;
    block.info->pLocation = saved.pLocation;
    SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(block.info), 0);
    if ((saved.Attributes & PRINTER_ATTRIBUTE_DEFAULT) && IsOurPrinter(saved))
        SetDefaultPrinterW(block.info->pPrinterName);
    GlobalFree(block.info);
}

// The per-user settings of a re-created printer are live again.
void ClearMarkerOf(HANDLE printer) {
    char path[AnsiPathCapacity] = {0};
    size_t prefix = sizeof SettingsPrefix - 1;
    std::memcpy(path, SettingsPrefix, prefix);
    ReadSubKey(printer, path + prefix);
    if (path[prefix])
        ClearDeletedMarker(path);
}

} // namespace

void ReadSubKey(HANDLE printer, char* buffer) {
    if (ReadSubKeyFrom(printer, nullptr, buffer))
        return;
    if (!ReadSubKeyFrom(printer, UserDataKey, buffer))
        buffer[0] = 0;
}

// Every queue of ours is remembered, with its settings link when it has one:
// a queue without a readable "SubKey" is still the user's queue and comes
// back with its name, comment, location and default state.
void SavePrinterSettings(InstallContext& context, PRINTER_INFO_2W* entry) {
    char subKey[AnsiPathCapacity] = {0};
    HANDLE printer = nullptr;
    // A connection's settings are the server's: nothing to carry over.
    if (!IsConnection(*entry) && OpenPrinterW(entry->pPrinterName, &printer, nullptr) && printer) {
        ReadSubKey(printer, subKey);
        ClosePrinter(printer);
    }
    SavedPrinter* node = static_cast<SavedPrinter*>(GlobalAlloc(GMEM_FIXED, sizeof *node));
    if (!node)
        return;
    std::memset(node, 0, sizeof *node);
    // Without memory for the copy the queue still comes back, only without
    // its settings link.
    node->subKey = subKey[0] ? CopyAnsi(subKey) : nullptr;
    node->entry = entry;
    node->next = context.SavedPrinters;
    context.SavedPrinters = node;
}

void RemovePrinter(InstallContext& context, const WCHAR* name) {
    LogLine(context, W(">DeletePrinter(%s)"), Shown(name));
    LogScope scope(context);
    HANDLE printer = nullptr;
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, DeleteAccess};
    if (!OpenPrinterW(const_cast<LPWSTR>(name), &printer, &defaults) || !printer) {
        LogError(context, ErrOpenPrinter, GetLastError(), Shown(name));
    } else {
        if (PurgeAndDeletePrinter(printer))
            LogLine(context, W("OK"));
        else
            LogError(context, ErrDeletePrinter, GetLastError(), Shown(name));
        ClosePrinter(printer);
    }
}

// Only this machine's connection goes; the server's queue and its jobs stay.
void RemoveConnection(InstallContext& context, const WCHAR* name) {
    LogLine(context, W(">DeletePrinter(%s)"), Shown(name));
    LogScope scope(context);
    if (DeletePrinterConnectionW(const_cast<LPWSTR>(name)))
        LogLine(context, W("OK"));
    else
        LogError(context, ErrDeletePrinter, GetLastError(), Shown(name));
}

void RemoveAllPrinters(InstallContext& context) {
    LogLine(context, W(">DeleteAllPrinters"));
    LogScope scope(context);
    for (uint32_t i = 0; i < context.Inventory.count; ++i) {
        PRINTER_INFO_2W* entry = &context.Inventory.entries[i];
        if (!IsOurPrinter(*entry))
            continue;
        SavePrinterSettings(context, entry);
        if (IsConnection(*entry))
            RemoveConnection(context, entry->pPrinterName);
        else
            RemovePrinter(context, entry->pPrinterName);
    }
}

HANDLE CreatePrinter(InstallContext& context, const WCHAR* name) {
    LogLine(context, W(">AddPrinter(%s)"), Shown(name));
    LogScope scope(context);
    LogLine(context, W("Let's check our port monitors"));
    MonitorList monitors;
    EnumMonitorList(monitors, context);
    if (FindOurMonitor(monitors) >= 0) {
        LogLine(context, W("Port monitor is found"));
    } else {
        LogLine(context, W("No Kestrovane port monitor was found."));
        if (monitors.count != 0)
            LogMonitorList(context, monitors);
        else
            LogLine(context, W("BTW, there is no port monitors on this system."));
    }
    GlobalFree(monitors.entries);

    PRINTER_INFO_2W info;
    std::memset(&info, 0, sizeof info);
    WCHAR emptyComment[1] = {0};
    info.pPrinterName = const_cast<LPWSTR>(name);
    info.pPortName = const_cast<LPWSTR>(OurPortName);
    info.pDriverName = const_cast<LPWSTR>(OurDriverName);
    info.pComment = emptyComment;
    info.pPrintProcessor = const_cast<LPWSTR>(NewPrinterProcessor);
    info.pDatatype = const_cast<LPWSTR>(NewPrinterDatatype);
    HANDLE printer = AddPrinterLevel2(&info);
    if (printer)
        LogLine(context, W("OK :)"));
    else
        LogError(context, ErrAddPrinter, GetLastError(), Shown(name));
    return printer;
}

BOOL WriteSubKey(HANDLE printer, const char* subKey) {
    if (!subKey)
        return FALSE;
    DWORD bytes = static_cast<DWORD>(std::strlen(subKey) + 1);
    LPBYTE data = reinterpret_cast<LPBYTE>(const_cast<char*>(subKey));
    SetPrinterDataA(printer, const_cast<LPSTR>(SubKeyValue), REG_SZ, data, bytes);
    return SetPrinterDataExA(printer, UserDataKey, SubKeyValue, REG_SZ, data, bytes) ==
           ERROR_SUCCESS;
}

bool ClearDeletedMarker(const char* path) {
    size_t bytes = sizeof SettingsRoot + 1 + std::strlen(path);
    char* keyPath = static_cast<char*>(GlobalAlloc(GPTR, bytes));
    if (!keyPath)
        return false;
    std::memcpy(keyPath, SettingsRoot, sizeof SettingsRoot - 1);
    keyPath[sizeof SettingsRoot - 1] = '\\';
    std::memcpy(keyPath + sizeof SettingsRoot, path, std::strlen(path) + 1);
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExA(HKEY_CURRENT_USER, keyPath, 0, KEY_ALL_ACCESS, &key);
    GlobalFree(keyPath);
    if (status != ERROR_SUCCESS)
        return false;
    bool removed = RegDeleteValueA(key, DeletedValue) == ERROR_SUCCESS;
    RegCloseKey(key);
    return removed;
}

// The connection is made again to the server's queue, with its default state.
void RestoreConnection(InstallContext& context, const PRINTER_INFO_2W& saved) {
    LogLine(context, W(">AddPrinter(%s)"), saved.pPrinterName);
    LogScope scope(context);
    if (AddPrinterConnectionW(saved.pPrinterName)) {
        LogLine(context, W("OK :)"));
        if (saved.Attributes & PRINTER_ATTRIBUTE_DEFAULT)
            SetDefaultPrinterW(saved.pPrinterName);
    } else {
        LogError(context, ErrAddPrinter, GetLastError(), saved.pPrinterName);
    }
}

void RestorePrinters(InstallContext& context) {
    uint32_t restored = 0;
    for (SavedPrinter* node = context.SavedPrinters; node; node = node->next) {
        if (IsConnection(*node->entry)) {
            RestoreConnection(context, *node->entry);
            continue;
        }
        HANDLE printer = CreatePrinter(context, node->entry->pPrinterName);
        if (!printer)
            continue;
        if (WriteSubKey(printer, node->subKey))
            ClearMarkerOf(printer);
        RestoreDescription(printer, *node->entry);
        ClosePrinter(printer);
        ++restored;
    }
    if (restored == 0) {
        HANDLE printer = CreatePrinter(context, FallbackPrinterName);
        if (printer)
            ClosePrinter(printer);
    }
}

void ReleaseSavedPrinters(SavedPrinter*& list) {
    while (list) {
        SavedPrinter* next = list->next;
        GlobalFree(list->subKey);
        GlobalFree(list);
        list = next;
    }
}
