// The file operations the system will carry out at the next restart, as the
// Session Manager keeps them, and the deletions among them that can be done
// at once. The registry value itself is only read.
#pragma once

#include "common/wide_string.h"
#include "platform/win32.h"

#include <cstdint>

struct PendingRenameTable {
    WCHAR** entries; // 2 x count global-heap texts as stored; none for an empty string
    int32_t* flags;  // 2 x count: 1 = named an existing file (not a directory) when read
    int32_t count;   // operations: entry 2k is the source, 2k + 1 the target
};

// The product's files that DeletePendingNow may delete: full paths, compared
// without regard to letter case.
const uint32_t OwnFilesCapacity = 9;
struct OwnFiles {
    WideString paths[OwnFilesCapacity];
    uint32_t count;
};
// Adds the path made of `directory` (ending in its separator), `folder`
// (empty, or ending in its separator) and `name`; nothing when it would not
// be a full path or cannot be built whole. Returns whether it was added.
bool AddOwnFile(OwnFiles& own, const WCHAR* directory, const WCHAR* folder, const WCHAR* name);
void ReleaseOwnFiles(OwnFiles& own);

// Fills the table anew (a filled one must be released first). Whatever
// cannot be read leaves the table empty.
void ReadPendingRenames(PendingRenameTable& table);
// Whether the table holds a deletion of `path` (letter case ignored).
bool QueuedForDeletion(const PendingRenameTable& table, const WCHAR* path);
// Deletes, where possible, the sources of pending deletions that existed
// when the table was read and are files of `own`, and clears their flags.
// A file that a later operation renames a file onto is left alone: the
// program that queued both needs it until the restart.
void DeletePendingNow(PendingRenameTable& table, const OwnFiles& own);
void ReleasePendingRenames(PendingRenameTable& table);
