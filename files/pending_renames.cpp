#include "files/pending_renames.h"

#include "common/text.h"
#include "files/pending_value.h"

#include <cstring>

namespace {

bool IsExistingFile(const WCHAR* name) {
    DWORD attributes = GetFileAttributesW(name);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsOwnFile(const OwnFiles& own, const WCHAR* name) {
    for (uint32_t i = 0; i < own.count; ++i)
        if (Length(own.paths[i]) > 0 && TextEqualNoCase(Text(own.paths[i]), name))
            return true;
    return false;
}

// Whether an operation after the k-th renames a file onto `name`: deleting
// it now would leave that program without it until the restart.
bool LaterRenameOnto(const PendingRenameTable& table, int32_t k, const WCHAR* name) {
    for (int32_t later = k + 1; later < table.count; ++later) {
        const WCHAR* target = table.entries[2 * later + 1];
        if (!target)
            continue;
        if (target[0] == '!') // the mark of a rename that may replace its target
            ++target;
        if (TextEqualNoCase(PendingFileName(target), name))
            return true;
    }
    return false;
}

} // namespace

bool AddOwnFile(OwnFiles& own, const WCHAR* directory, const WCHAR* folder, const WCHAR* name) {
    const WCHAR* parts[] = {directory, folder, name};
    size_t lengths[3];
    size_t total = 0;
    for (int i = 0; i < 3; ++i)
        total += lengths[i] = parts[i] ? TextLength(parts[i]) : 0;
    if (!IsFullPath(directory) || own.count >= OwnFilesCapacity)
        return false;
    WideString& path = own.paths[own.count];
    if (!SetLength(path, total))
        return false;
    WCHAR* text = const_cast<WCHAR*>(Text(path));
    for (int i = 0; i < 3; ++i) {
        if (lengths[i] > 0)
            std::memcpy(text, parts[i], lengths[i] * sizeof(WCHAR));
        text += lengths[i];
    }
    ++own.count;
    return true;
}

void ReleaseOwnFiles(OwnFiles& own) {
    for (uint32_t i = 0; i < own.count; ++i)
        Release(own.paths[i]);
    own.count = 0;
}

bool QueuedForDeletion(const PendingRenameTable& table, const WCHAR* path) {
    for (int32_t k = 0; k < table.count; ++k) {
        const WCHAR* source = table.entries[2 * k];
        if (source && !table.entries[2 * k + 1] && TextEqualNoCase(PendingFileName(source), path))
            return true;
    }
    return false;
}

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
    PendingValue value = {nullptr, 0, 0, REG_NONE};
    if (HKEY key = OpenPendingKey(KEY_READ)) {
        value = ReadPendingValue(key);
        RegCloseKey(key);
    }
    int64_t strings = 0;
    for (int64_t p = 0; NextPendingString(value, p) >= 0;)
        ++strings;
    int64_t pairs = strings / 2; // a last string without its partner is no operation
    if (pairs == 0) {
        ReleasePendingValue(value);
        return;
    }
    table.count = static_cast<int32_t>(pairs);
    table.entries = static_cast<WCHAR**>(GlobalAlloc(GPTR, 2 * pairs * sizeof(WCHAR*)));
    table.flags = static_cast<int32_t*>(GlobalAlloc(GPTR, 2 * pairs * sizeof(int32_t)));
    // Without memory for any part the table stays empty: an entry left out
    // could turn the empty target of a rename into a deletion.
    bool complete = table.entries && table.flags;
    int64_t p = 0;
    for (int64_t i = 0; complete && i < 2 * pairs; ++i) {
        const WCHAR* string = value.text + NextPendingString(value, p);
        size_t k = TextLength(string);
        if (k == 0)
            continue;
        WCHAR* text = static_cast<WCHAR*>(GlobalAlloc(GPTR, (k + 1) * sizeof(WCHAR)));
        if (!text) {
            complete = false;
            break;
        }
        std::memcpy(text, string, k * sizeof(WCHAR));
        table.entries[i] = text;
        table.flags[i] = IsExistingFile(PendingFileName(text)) ? 1 : 0;
    }
    if (!complete)
        ReleasePendingRenames(table);
    ReleasePendingValue(value);
}

void DeletePendingNow(PendingRenameTable& table, const OwnFiles& own) {
    for (int32_t k = 0; k < table.count; ++k) {
        WCHAR* source = table.entries[2 * k];
        if (table.flags[2 * k] != 1 || !source || table.entries[2 * k + 1])
            continue;
        const WCHAR* name = PendingFileName(source);
        if (!IsOwnFile(own, name) || LaterRenameOnto(table, k, name))
            continue;
        if (DeleteFileW(name))
            table.flags[2 * k] = 0;
    }
}
