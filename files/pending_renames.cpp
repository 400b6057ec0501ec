#include "files/pending_renames.h"

#include <cstring>

namespace {

const char SessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const WCHAR* const PendingValue = W("PendingFileRenameOperations");

// The value as read: `units` whole code units (an odd last byte is no unit).
struct ValueBuffer {
    WCHAR* text;
    int64_t units;
    int64_t limit; // (size - 2) / 2: the units before the final extra terminator
};

ValueBuffer ReadValue() {
    ValueBuffer value = {nullptr, 0, 0};
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SessionManagerKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return value;
    DWORD size = 0;
    if (RegQueryValueExW(key, PendingValue, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS &&
        size != 0) {
        DWORD allocated = size;
        void* block = GlobalAlloc(GPTR, allocated);
        // The value may change between the two queries: a failed read (one
        // that grew) counts as no value, and a size beyond the block is never
        // believed.
        if (block && (RegQueryValueExW(key, PendingValue, nullptr, nullptr,
                                       static_cast<LPBYTE>(block), &size) != ERROR_SUCCESS ||
                      size > allocated)) {
            GlobalFree(block);
            block = nullptr;
        }
        if (block) {
            value.text = static_cast<WCHAR*>(block);
            value.units = size / 2;
            value.limit = (static_cast<int64_t>(size) - 2) / 2;
        }
    }
    RegCloseKey(key);
    return value;
}

// Length of the string at `p`, ended by its terminator or by the value's end.
int64_t StringLength(const ValueBuffer& value, int64_t p) {
    int64_t k = 0;
    while (p + k < value.units && value.text[p + k] != 0)
        ++k;
    return k;
}

bool HasNtPrefix(const WCHAR* text) {
    return text[0] == '\\' && text[1] == '?' && text[2] == '?' && text[3] == '\\';
}

// The name the file system knows: the text without a leading "\??\".
const WCHAR* FileName(const WCHAR* text) {
    return HasNtPrefix(text) ? text + 4 : text;
}

bool IsExistingFile(const WCHAR* name) {
    DWORD attributes = GetFileAttributesW(name);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

void ReleasePendingRenames(PendingRenameTable& table) {
    if (table.entries)
        for (int64_t i = 0; i < 2 * static_cast<int64_t>(table.count); ++i)
            GlobalFree(table.entries[i]);
    GlobalFree(table.entries);
    GlobalFree(table.flags);
    table.entries = nullptr;
    table.flags = nullptr;
    table.count = 0;
}

void ReadPendingRenames(PendingRenameTable& table) {
    table = PendingRenameTable{nullptr, nullptr, 0};
    ValueBuffer value = ReadValue();
    int64_t strings = 0;
    for (int64_t p = 0; value.text && p < value.limit; p += StringLength(value, p) + 1)
        ++strings;
    int64_t pairs = strings / 2; // a last string without its partner is no operation
    if (pairs == 0) {
        GlobalFree(value.text);
        return;
    }
    table.count = static_cast<int32_t>(pairs);
    table.entries = static_cast<WCHAR**>(GlobalAlloc(GPTR, 2 * pairs * sizeof(WCHAR*)));
    table.flags = static_cast<int32_t*>(GlobalAlloc(GPTR, 2 * pairs * sizeof(int32_t)));
    // Without memory for any part the table stays empty: an entry left out
    // could turn the empty target of a rename into a deletion.
    bool complete = table.entries && table.flags;
    int64_t i = 0;
    for (int64_t p = 0; complete && p < value.limit && i < 2 * pairs; ++i) {
        int64_t k = StringLength(value, p);
        if (k > 0) {
            WCHAR* text = static_cast<WCHAR*>(GlobalAlloc(GPTR, (k + 1) * sizeof(WCHAR)));
            if (!text) {
                complete = false;
                break;
            }
            std::memcpy(text, value.text + p, k * sizeof(WCHAR));
            table.entries[i] = text;
            // The copy, not the value, is examined: only the copy surely ends.
            table.flags[i] = IsExistingFile(FileName(text)) ? 1 : 0;
        }
        p += k + 1;
    }
    if (!complete)
        ReleasePendingRenames(table);
    GlobalFree(value.text);
}

void DeletePendingNow(PendingRenameTable& table) {
    for (int32_t k = 0; k < table.count; ++k) {
        WCHAR* source = table.entries[2 * k];
        if (table.flags[2 * k] != 1 || !source || table.entries[2 * k + 1])
            continue;
        if (DeleteFileW(FileName(source)))
            table.flags[2 * k] = 0;
    }
}
