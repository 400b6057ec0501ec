#include "spooler/printer_record.h"

#include "common/text.h"

#include <cstddef>
#include <cstring>
#include <initializer_list>

const WCHAR SavedRecordKey[] = W("SOFTWARE\\Vorland Software KFT\\Kestrovane\\Installer");
const WCHAR SavedRecordPath[] = W("HKLM\\SOFTWARE\\Vorland Software KFT\\Kestrovane\\Installer");

namespace {

// Layout (little endian; every part begins 8-aligned, so that the parsed
// texts and blocks can be used where they lie):
//   header:  "KSVQUEUE", version, queue count, total bytes, 0
//   a queue: its bytes, flags, Attributes, Priority, DefaultPriority,
//            StartTime, UntilTime, 0; then the fields below, each as its
//            byte count, 0 and the bytes padded to 8 (0 bytes: none)
//   trailer: FNV-1a of everything before it, 0
const WCHAR RecordValue[] = W("SavedPrinters");
const char Magic[8] = {'K', 'S', 'V', 'Q', 'U', 'E', 'U', 'E'};
const DWORD Version = 1;
const size_t HeaderBytes = 24;
const size_t QueueHeadBytes = 32;
const size_t TrailerBytes = 8;
const size_t MinDevModeBytes = offsetof(DEVMODEW, dmFields) + sizeof(DWORD);
const size_t MinSecurityBytes = 20; // the self-relative header
const int FieldCount = 11;
enum Field {
    Name,
    Share,
    Comment,
    Location,
    SepFile,
    Processor,
    Datatype,
    Parameters,
    SubKey,
    DevMode,
    Security
};

size_t Padded(size_t n) {
    return (n + 7) & ~static_cast<size_t>(7);
}

DWORD ReadDword(const BYTE* at) {
    DWORD value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
}

void PutDwords(BYTE* out, size_t& at, std::initializer_list<DWORD> values) {
    for (DWORD value : values) {
        if (out)
            std::memcpy(out + at, &value, sizeof value);
        at += sizeof value;
    }
}

DWORD Checksum(const BYTE* data, size_t bytes) {
    DWORD hash = 2166136261u;
    for (size_t i = 0; i < bytes; ++i)
        hash = (hash ^ data[i]) * 16777619u;
    return hash;
}

size_t TextBytes(const WCHAR* text) {
    return text ? (TextLength(text) + 1) * sizeof(WCHAR) : 0;
}

// Where each field of a queue lies and how long it is.
void FieldsOf(const SavedPrinter& q, const void* data[FieldCount], size_t bytes[FieldCount]) {
    const PRINTER_INFO_2W& i = q.info;
    const WCHAR* texts[] = {i.pPrinterName, i.pShareName,      i.pComment,  i.pLocation,
                            i.pSepFile,     i.pPrintProcessor, i.pDatatype, i.pParameters};
    for (int f = Name; f <= Parameters; ++f) {
        data[f] = texts[f];
        bytes[f] = TextBytes(texts[f]);
    }
    data[SubKey] = q.subKey;
    bytes[SubKey] = q.subKey ? std::strlen(q.subKey) + 1 : 0;
    data[DevMode] = i.pDevMode;
    bytes[DevMode] = i.pDevMode ? i.pDevMode->dmSize + i.pDevMode->dmDriverExtra : 0;
    data[Security] = i.pSecurityDescriptor;
    bytes[Security] = i.pSecurityDescriptor ? q.securityBytes : 0;
}

// The bytes the queue takes; with `out`, it is written there at `at`.
size_t PutQueue(BYTE* out, size_t at, const SavedPrinter& q) {
    const void* data[FieldCount];
    size_t bytes[FieldCount];
    FieldsOf(q, data, bytes);
    size_t size = QueueHeadBytes;
    for (int f = 0; f < FieldCount; ++f)
        size += 8 + Padded(bytes[f]);
    if (!out)
        return size;
    const PRINTER_INFO_2W& i = q.info;
    size_t pos = at;
    PutDwords(out, pos,
              {static_cast<DWORD>(size), q.flags, i.Attributes, i.Priority, i.DefaultPriority,
               i.StartTime, i.UntilTime, 0});
    for (int f = 0; f < FieldCount; ++f) {
        PutDwords(out, pos, {static_cast<DWORD>(bytes[f]), 0});
        if (bytes[f])
            std::memcpy(out + pos, data[f], bytes[f]);
        std::memset(out + pos + bytes[f], 0, Padded(bytes[f]) - bytes[f]);
        pos += Padded(bytes[f]);
    }
    return size;
}

bool Wanted(const SavedPrinter& q, bool unfinished) {
    return !unfinished || !q.whole;
}

// Whether a field's bytes are what the field must be.
bool FieldSound(int field, const BYTE* data, size_t bytes) {
    if (bytes == 0)
        return field != Name;
    if (field == SubKey)
        return data[bytes - 1] == 0;
    if (field == DevMode) {
        const DEVMODEW* dm = reinterpret_cast<const DEVMODEW*>(data);
        return bytes >= MinDevModeBytes && dm->dmSize + dm->dmDriverExtra == bytes;
    }
    if (field == Security)
        return bytes >= MinSecurityBytes;
    return bytes % sizeof(WCHAR) == 0 && data[bytes - 1] == 0 && data[bytes - 2] == 0;
}

// One queue from its bytes [at, end); false when they are not sound.
bool TakeQueue(const BYTE* block, size_t at, size_t end, SavedPrinter& q) {
    q.flags = ReadDword(block + at + 4);
    q.info.Attributes = ReadDword(block + at + 8);
    q.info.Priority = ReadDword(block + at + 12);
    q.info.DefaultPriority = ReadDword(block + at + 16);
    q.info.StartTime = ReadDword(block + at + 20);
    q.info.UntilTime = ReadDword(block + at + 24);
    const void* data[FieldCount] = {};
    size_t pos = at + QueueHeadBytes;
    for (int f = 0; f < FieldCount; ++f) {
        if (end - pos < 8)
            return false;
        size_t bytes = ReadDword(block + pos);
        pos += 8;
        if (end - pos < Padded(bytes) || !FieldSound(f, block + pos, bytes))
            return false;
        data[f] = bytes ? block + pos : nullptr;
        if (f == Security)
            q.securityBytes = static_cast<DWORD>(bytes);
        pos += Padded(bytes);
    }
    LPWSTR* texts[] = {&q.info.pPrinterName, &q.info.pShareName, &q.info.pComment,
                       &q.info.pLocation,    &q.info.pSepFile,   &q.info.pPrintProcessor,
                       &q.info.pDatatype,    &q.info.pParameters};
    for (int f = Name; f <= Parameters; ++f)
        *texts[f] = static_cast<LPWSTR>(const_cast<void*>(data[f]));
    q.subKey = static_cast<const char*>(data[SubKey]);
    q.info.pDevMode = static_cast<LPDEVMODEW>(const_cast<void*>(data[DevMode]));
    q.info.pSecurityDescriptor = const_cast<void*>(data[Security]);
    return pos == end;
}

} // namespace

BYTE* BuildSavedRecord(const SavedPrinter* list, bool unfinished, DWORD& bytes, DWORD& code) {
    size_t total = HeaderBytes + TrailerBytes;
    DWORD count = 0;
    for (const SavedPrinter* q = list; q; q = q->next)
        if (Wanted(*q, unfinished)) {
            total += PutQueue(nullptr, 0, *q);
            ++count;
        }
    bytes = 0;
    code = count ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    if (!count)
        return nullptr;
    BYTE* block = static_cast<BYTE*>(GlobalAlloc(GPTR, total));
    if (!block) {
        code = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    std::memcpy(block, Magic, sizeof Magic);
    size_t at = sizeof Magic;
    PutDwords(block, at, {Version, count, static_cast<DWORD>(total), 0});
    for (const SavedPrinter* q = list; q; q = q->next)
        if (Wanted(*q, unfinished))
            at += PutQueue(block, at, *q);
    PutDwords(block, at, {Checksum(block, at), 0});
    bytes = static_cast<DWORD>(total);
    return block;
}

DWORD ParseSavedRecord(const BYTE* block, DWORD bytes, SavedPrinter*& list) {
    list = nullptr;
    if (!block || bytes < HeaderBytes + TrailerBytes || std::memcmp(block, Magic, sizeof Magic) ||
        ReadDword(block + 8) != Version || ReadDword(block + 16) != bytes ||
        Checksum(block, bytes - TrailerBytes) != ReadDword(block + bytes - TrailerBytes))
        return ERROR_INVALID_DATA;
    size_t end = bytes - TrailerBytes;
    size_t at = HeaderBytes;
    for (DWORD i = ReadDword(block + 12); i > 0; --i) {
        size_t size = end - at >= QueueHeadBytes ? ReadDword(block + at) : 0;
        DWORD code = size < QueueHeadBytes || size % 8 || size > end - at ? ERROR_INVALID_DATA
                                                                          : ERROR_SUCCESS;
        SavedPrinter* q = nullptr;
        if (code == ERROR_SUCCESS &&
            !(q = static_cast<SavedPrinter*>(GlobalAlloc(GPTR, sizeof *q))))
            code = ERROR_NOT_ENOUGH_MEMORY;
        if (code == ERROR_SUCCESS && !TakeQueue(block, at, at + size, *q))
            code = ERROR_INVALID_DATA;
        if (code != ERROR_SUCCESS) {
            GlobalFree(q);
            ReleaseSavedList(list);
            return code;
        }
        q->next = list;
        list = q;
        at += size;
    }
    if (at != end) {
        ReleaseSavedList(list);
        return ERROR_INVALID_DATA;
    }
    return ERROR_SUCCESS;
}

void ReleaseSavedList(SavedPrinter*& list) {
    while (list) {
        SavedPrinter* next = list->next;
        GlobalFree(list);
        list = next;
    }
}

DWORD ReadSavedRecord(BYTE*& block, DWORD& bytes) {
    block = nullptr;
    bytes = 0;
    HKEY key = nullptr;
    DWORD status = static_cast<DWORD>(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, SavedRecordKey, 0, KEY_QUERY_VALUE, &key));
    if (status != ERROR_SUCCESS)
        return status;
    DWORD type = REG_NONE, size = 0;
    status = static_cast<DWORD>(RegQueryValueExW(key, RecordValue, nullptr, &type, nullptr, &size));
    if (status == ERROR_SUCCESS && (type != REG_BINARY || size == 0))
        status = ERROR_INVALID_DATA;
    if (status == ERROR_SUCCESS && !(block = static_cast<BYTE*>(GlobalAlloc(GPTR, size))))
        status = ERROR_NOT_ENOUGH_MEMORY;
    if (status == ERROR_SUCCESS)
        status =
            static_cast<DWORD>(RegQueryValueExW(key, RecordValue, nullptr, &type, block, &size));
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        GlobalFree(block);
        block = nullptr;
        return status;
    }
    bytes = size;
    return ERROR_SUCCESS;
}

DWORD WriteSavedRecord(const BYTE* block, DWORD bytes) {
    HKEY key = nullptr;
    DWORD status = static_cast<DWORD>(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, SavedRecordKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, &key, nullptr));
    if (status != ERROR_SUCCESS)
        return status;
    status = static_cast<DWORD>(RegSetValueExW(key, RecordValue, 0, REG_BINARY, block, bytes));
    if (status == ERROR_SUCCESS)
        status = static_cast<DWORD>(RegFlushKey(key));
    RegCloseKey(key);
    return status;
}

// A key a failed write left empty goes too, but held no record.
DWORD DeleteSavedRecord() {
    HKEY key = nullptr;
    DWORD status = static_cast<DWORD>(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, SavedRecordKey, 0, KEY_QUERY_VALUE, &key));
    if (status != ERROR_SUCCESS)
        return status;
    DWORD size = 0;
    bool held =
        RegQueryValueExW(key, RecordValue, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    status = static_cast<DWORD>(RegDeleteKeyW(HKEY_LOCAL_MACHINE, SavedRecordKey));
    if (status == ERROR_SUCCESS)
        status = static_cast<DWORD>(RegFlushKey(HKEY_LOCAL_MACHINE));
    return status == ERROR_SUCCESS && !held ? ERROR_FILE_NOT_FOUND : status;
}
