#include "spooler/printer_preservation.h"

#include "common/call_buffer.h"
#include "common/text.h"
#include "run/install_context.h"
#include "run/install_log.h"
#include "spooler/printer_driver.h"
#include "spooler/printer_inventory.h"

#include <cstring>

namespace {

const char SubKeyValue[] = "SubKey";
const char UserDataKey[] = "DsUser";
const char SettingsRoot[] = "Software\\Vorland Software KFT\\Kestrovane";
const char SettingsPrefix[] = "Kestrovanes\\";
const char DeletedValue[] = "deleted";

const DWORD SubKeyCapacity = 64; // bytes: what almost every link fits in at the first ask
const DWORD DeleteAccess = DELETE | PRINTER_ACCESS_ADMINISTER; // 0x10004
// Saving reads the permissions too, and the same handle deletes the queue.
const DWORD SaveAccess = DeleteAccess | READ_CONTROL;

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

// A global-heap copy of the text in `bytes` bytes, ended at its terminator or
// where the bytes end; none for an empty text or without memory.
char* CopyText(const char* data, DWORD bytes) {
    const void* end = std::memchr(data, 0, bytes);
    size_t length = end ? static_cast<size_t>(static_cast<const char*>(end) - data) : bytes;
    char* copy = length ? static_cast<char*>(GlobalAlloc(GPTR, length + 1)) : nullptr;
    if (copy)
        std::memcpy(copy, data, length);
    return copy;
}

// One place of the SubKey: ERROR_SUCCESS with the text or none (a value that
// is no string is no link), or the error that kept it unread. A spooler that
// keeps the string as UTF-16 may ask for twice its ANSI length even for the
// ANSI call: it is read again with the size asked for, whatever that is.
DWORD ReadSubKeyFrom(HANDLE printer, const char* key, char*& subKey) {
    subKey = nullptr;
    char first[SubKeyCapacity];
    DWORD type = 0, needed = 0;
    DWORD status = GetSubKeyData(printer, key, &type, first, SubKeyCapacity, &needed);
    if (status == ERROR_SUCCESS) {
        subKey = type == REG_SZ ? CopyText(first, needed < SubKeyCapacity ? needed : SubKeyCapacity)
                                : nullptr;
        return subKey || type != REG_SZ || needed == 0 || !first[0] ? ERROR_SUCCESS
                                                                    : ERROR_NOT_ENOUGH_MEMORY;
    }
    if (status != ERROR_MORE_DATA || needed <= SubKeyCapacity)
        return status == ERROR_MORE_DATA ? ERROR_INVALID_DATA : status;
    char* whole = static_cast<char*>(GlobalAlloc(GPTR, needed));
    if (!whole)
        return ERROR_NOT_ENOUGH_MEMORY;
    DWORD size = needed;
    status = GetSubKeyData(printer, key, &type, whole, size, &needed);
    if (status == ERROR_SUCCESS && type == REG_SZ)
        subKey = CopyText(whole, needed < size ? needed : size);
    GlobalFree(whole);
    return status;
}

// The queue's permissions, a copy of their own; none from a spooler that
// keeps none (`levelKnown` is then cleared: no queue of this run is asked).
DWORD ReadSecurity(HANDLE printer, SavedPrinter& queue, bool& levelKnown) {
    CallBuffer answer = ReadCallBuffer([printer](LPBYTE block, DWORD size, DWORD* needed) {
        return GetPrinterW(printer, 3, block, size, needed);
    });
    if (answer.step != BufferStep::Read) {
        levelKnown = answer.code != ERROR_INVALID_LEVEL;
        return levelKnown ? answer.code : ERROR_SUCCESS;
    }
    PSECURITY_DESCRIPTOR sd = reinterpret_cast<PRINTER_INFO_3*>(answer.block)->pSecurityDescriptor;
    DWORD bytes = sd ? GetSecurityDescriptorLength(sd) : 0;
    void* copy = bytes ? GlobalAlloc(GMEM_FIXED, bytes) : nullptr;
    if (copy) {
        std::memcpy(copy, sd, bytes);
        queue.info.pSecurityDescriptor = copy;
        queue.securityBytes = bytes;
    }
    GlobalFree(answer.block);
    return bytes && !copy ? ERROR_NOT_ENOUGH_MEMORY : ERROR_SUCCESS;
}

SavedPrinter* FindSaved(SavedPrinter* list, const WCHAR* name) {
    for (; list; list = list->next)
        if (TextEqualNoCase(list->info.pPrinterName, name))
            return list;
    return nullptr;
}

bool InInventory(const PrinterInventory& inventory, const WCHAR* name) {
    for (uint32_t i = 0; i < inventory.count; ++i)
        if (IsOurPrinter(inventory.entries[i]) &&
            TextEqualNoCase(inventory.entries[i].pPrinterName, name))
            return true;
    return false;
}

// What an earlier run left: none, or its queues in `list` (their texts in
// `block`). False, logged, when it is there but cannot be read whole.
bool ReadEarlierRecord(InstallContext& context, BYTE*& block, SavedPrinter*& list) {
    DWORD bytes = 0;
    list = nullptr;
    DWORD code = ReadSavedRecord(block, bytes);
    if (code == ERROR_FILE_NOT_FOUND)
        return true;
    if (code == ERROR_SUCCESS)
        code = ParseSavedRecord(block, bytes, list);
    if (code == ERROR_SUCCESS)
        return true;
    GlobalFree(block);
    block = nullptr;
    LogError(context, ErrSavedRecordRead, code, SavedRecordPath);
    return false;
}

// One queue of ours, opened and read whole; false (logged) when it cannot be.
bool SaveOne(InstallContext& context, const PRINTER_INFO_2W& entry, HANDLE& printer,
             SavedPrinter* queue, bool& levelKnown) {
    if (queue) {
        queue->info = entry;
        queue->info.pServerName = queue->info.pPortName = queue->info.pDriverName = nullptr;
        queue->info.pSecurityDescriptor = nullptr;
        queue->info.Attributes &= ~static_cast<DWORD>(PRINTER_ATTRIBUTE_DEFAULT);
        queue->info.Status = queue->info.cJobs = queue->info.AveragePPM = 0;
        queue->flags = (entry.Attributes & PRINTER_ATTRIBUTE_DEFAULT ? SavedDefault : 0) |
                       (IsConnection(entry) ? SavedConnection : 0);
    }
    // A connection's settings are the server's: only its name comes back.
    if (IsConnection(entry))
        return true;
    PRINTER_DEFAULTSW access = {nullptr, nullptr, SaveAccess};
    if (!OpenPrinterW(entry.pPrinterName, &printer, &access) || !printer) {
        LogError(context, ErrOpenPrinter, GetLastError(), Shown(entry.pPrinterName));
        printer = nullptr;
        return false;
    }
    if (!queue)
        return true; // an earlier run's record holds it
    char* subKey = nullptr;
    if (!ReadSubKey(printer, subKey)) {
        LogError(context, ErrKeepField, GetLastError(), W("settings link"), entry.pPrinterName);
        return false;
    }
    queue->subKey = subKey;
    DWORD code = levelKnown ? ReadSecurity(printer, *queue, levelKnown) : ERROR_SUCCESS;
    if (code != ERROR_SUCCESS)
        LogError(context, ErrKeepField, code, W("permissions"), entry.pPrinterName);
    return code == ERROR_SUCCESS;
}

void FreeSaved(SavedPrinter* queues, uint32_t count) {
    for (uint32_t i = 0; queues && i < count; ++i) {
        GlobalFree(const_cast<char*>(queues[i].subKey));
        GlobalFree(queues[i].info.pSecurityDescriptor);
    }
    GlobalFree(queues);
}

void CloseSavedHandles(InstallContext& context) {
    for (uint32_t i = 0; context.SavedHandles && i < context.Inventory.count; ++i)
        if (context.SavedHandles[i])
            ClosePrinter(context.SavedHandles[i]);
    GlobalFree(context.SavedHandles);
    context.SavedHandles = nullptr;
}

// This run's queues (those the earlier record does not hold) in inventory
// order, then the earlier ones; false (logged) when one cannot be saved.
bool SaveOurs(InstallContext& context, SavedPrinter* mine, SavedPrinter* earlier, uint32_t& used) {
    bool levelKnown = true;
    used = 0;
    for (uint32_t i = 0; i < context.Inventory.count; ++i) {
        const PRINTER_INFO_2W& entry = context.Inventory.entries[i];
        if (!IsOurPrinter(entry))
            continue;
        SavedPrinter* queue = FindSaved(earlier, entry.pPrinterName) ? nullptr : &mine[used];
        if (!SaveOne(context, entry, context.SavedHandles[i], queue, levelKnown))
            return false;
        if (queue) {
            mine[used].next = &mine[used + 1];
            ++used;
        }
    }
    for (SavedPrinter* q = earlier; q; q = q->next)
        q->flags = (q->flags & ~SavedEarlier) |
                   (InInventory(context.Inventory, q->info.pPrinterName) ? 0 : SavedEarlier);
    if (used)
        mine[used - 1].next = earlier;
    return true;
}

// The record of `list` on disk, and this run's queues parsed back from it.
DWORD WriteRecord(InstallContext& context, const SavedPrinter* list) {
    DWORD bytes = 0, code = ERROR_SUCCESS;
    BYTE* block = BuildSavedRecord(list, false, bytes, code);
    if (block)
        code = WriteSavedRecord(block, bytes);
    if (code == ERROR_SUCCESS)
        code = ParseSavedRecord(block, bytes, context.SavedPrinters);
    if (code == ERROR_SUCCESS)
        context.SavedRecord = block;
    else
        GlobalFree(block);
    return code;
}

void DeleteOpened(InstallContext& context, const WCHAR* name, HANDLE& printer) {
    LogLine(context, W(">DeletePrinter(%s)"), Shown(name));
    LogScope scope(context);
    if (PurgeAndDeletePrinter(printer))
        LogLine(context, W("OK"));
    else
        LogError(context, ErrDeletePrinter, GetLastError(), Shown(name));
    ClosePrinter(printer);
    printer = nullptr;
}

} // namespace

bool ReadSubKey(HANDLE printer, char*& subKey) {
    DWORD plain = ReadSubKeyFrom(printer, nullptr, subKey);
    if (subKey)
        return true;
    DWORD user = ReadSubKeyFrom(printer, UserDataKey, subKey);
    if (subKey)
        return true;
    // Known to have no link only when neither place failed to answer.
    DWORD failed = plain != ERROR_SUCCESS && plain != ERROR_FILE_NOT_FOUND ? plain : user;
    if (failed == ERROR_SUCCESS || failed == ERROR_FILE_NOT_FOUND)
        return true;
    SetLastError(failed);
    return false;
}

bool SavePrinters(InstallContext& context) {
    BYTE* earlierBlock = nullptr;
    SavedPrinter* earlier = nullptr;
    if (!ReadEarlierRecord(context, earlierBlock, earlier))
        return false;
    uint32_t count = context.Inventory.count;
    SavedPrinter* mine =
        count ? static_cast<SavedPrinter*>(GlobalAlloc(GPTR, count * sizeof *mine)) : nullptr;
    context.SavedHandles =
        count ? static_cast<HANDLE*>(GlobalAlloc(GPTR, count * sizeof(HANDLE))) : nullptr;
    uint32_t used = 0;
    bool saved = !count || (mine && context.SavedHandles);
    if (!saved)
        LogError(context, ErrSavedRecordWrite, ERROR_NOT_ENOUGH_MEMORY, SavedRecordPath);
    saved = saved && SaveOurs(context, mine, earlier, used);
    SavedPrinter* list = used ? mine : earlier;
    DWORD code = saved && list ? WriteRecord(context, list) : ERROR_SUCCESS;
    if (code != ERROR_SUCCESS) {
        LogError(context, ErrSavedRecordWrite, code, SavedRecordPath);
        saved = false;
    }
    FreeSaved(mine, count);
    ReleaseSavedList(earlier);
    GlobalFree(earlierBlock);
    if (!saved)
        CloseSavedHandles(context);
    return saved;
}

void RemovePrinter(InstallContext& context, const WCHAR* name) {
    HANDLE printer = nullptr;
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, DeleteAccess};
    if (OpenPrinterW(const_cast<LPWSTR>(name), &printer, &defaults) && printer) {
        DeleteOpened(context, name, printer);
        return;
    }
    DWORD code = GetLastError();
    LogLine(context, W(">DeletePrinter(%s)"), Shown(name));
    LogScope scope(context);
    LogError(context, ErrOpenPrinter, code, Shown(name));
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
        if (IsConnection(*entry))
            RemoveConnection(context, entry->pPrinterName);
        else if (context.SavedHandles && context.SavedHandles[i])
            DeleteOpened(context, entry->pPrinterName, context.SavedHandles[i]);
        else
            RemovePrinter(context, entry->pPrinterName);
    }
}

void DiscardSavedPrinters(InstallContext& context) {
    DWORD code = DeleteSavedRecord();
    if (code == ERROR_SUCCESS)
        LogLine(context, W("Saved printers of an earlier run discarded"));
    else if (code != ERROR_FILE_NOT_FOUND)
        LogError(context, ErrSavedRecordWrite, code, SavedRecordPath);
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

void ClearMarkerOf(const char* subKey) {
    size_t prefix = sizeof SettingsPrefix - 1;
    size_t bytes = prefix + std::strlen(subKey) + 1;
    char* path = static_cast<char*>(GlobalAlloc(GPTR, bytes));
    if (!path)
        return;
    std::memcpy(path, SettingsPrefix, prefix);
    std::memcpy(path + prefix, subKey, bytes - prefix);
    ClearDeletedMarker(path);
    GlobalFree(path);
}

void ReleaseSavedPrinters(InstallContext& context) {
    CloseSavedHandles(context);
    ReleaseSavedList(context.SavedPrinters);
    GlobalFree(context.SavedRecord);
    context.SavedRecord = nullptr;
}
