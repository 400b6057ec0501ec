#include "files/pending_renames.h"

#include "common/text.h"
#include "files/pending_value.h"

#include <cstring>

namespace {

// 1: an existing file (not a directory); 0: none; 2: a path that could not be
// examined (access denied, say), which may be a file.
int32_t FileFlag(const WCHAR* name) {
    DWORD attributes = GetFileAttributesW(name);
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : 1;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : 2;
}

// A copy the spooler made: below the root, in a folder of its own (no ".."
// climbing out), under one of our names.
bool IsOwnCopy(const OwnFiles& own, const WCHAR* path) {
    size_t n = static_cast<size_t>(Length(own.copyRoot));
    if (n == 0 || TextLength(path) <= n || !TextStartsNoCase(path, Text(own.copyRoot)))
        return false;
    const WCHAR* rest = path + n;
    const WCHAR* name = nullptr;
    for (const WCHAR* p = rest; *p; ++p) {
        if (p[0] == '.' && p[1] == '.')
            return false;
        if (*p == '\\')
            name = p + 1;
    }
    for (uint32_t i = 0; name && i < own.copyNameCount; ++i)
        if (TextEqualNoCase(name, own.copyNames[i]))
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

bool IsOwnFile(const OwnFiles& own, const WCHAR* path) {
    for (uint32_t i = 0; i < own.count; ++i)
        if (Length(own.paths[i]) > 0 && TextEqualNoCase(Text(own.paths[i]), path))
            return true;
    return IsOwnCopy(own, path);
}

bool AddOwnCopies(OwnFiles& own, const WCHAR* directory, const WCHAR* folder,
                  const WCHAR* const* names, uint32_t count) {
    OwnFiles root{};
    if (!AddOwnFile(root, directory, folder, nullptr))
        return false;
    Release(own.copyRoot);
    own.copyRoot = root.paths[0];
    own.copyNameCount = 0;
    for (uint32_t i = 0; i < count && i < OwnCopyNamesCapacity; ++i)
        if (names[i] && names[i][0])
            own.copyNames[own.copyNameCount++] = names[i];
    return true;
}

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
    Release(own.copyRoot);
    own.copyNameCount = 0;
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
    table.unread = false;
}

void ReadPendingRenames(PendingRenameTable& table) {
    table = PendingRenameTable{nullptr, nullptr, 0, false};
    PendingValue value = {nullptr, 0, 0, REG_NONE, true};
    if (HKEY key = OpenPendingKey(KEY_READ)) {
        value = ReadPendingValue(key);
        RegCloseKey(key);
    }
    table.unread = value.unread;
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
        table.flags[i] = FileFlag(PendingFileName(text));
    }
    if (!complete) {
        ReleasePendingRenames(table);
        table.unread = true;
    }
    ReleasePendingValue(value);
}

bool OwnDeletionWaits(const PendingRenameTable& table, const OwnFiles& own) {
    for (int32_t k = 0; k < table.count; ++k) {
        const WCHAR* source = table.entries[2 * k];
        if (table.flags[2 * k] != 0 && source && !table.entries[2 * k + 1] &&
            IsOwnFile(own, PendingFileName(source)))
            return true;
    }
    return false;
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
