// The file operations the system will carry out at the next restart, as the
// Session Manager keeps them, and the deletions among them that can be done
// at once. The registry value itself is only read.
#pragma once

#include "common/wide_string.h"
#include "platform/win32.h"

#include <cstdint>

struct PendingRenameTable {
    WCHAR** entries; // 2 x count global-heap texts as stored; none for an empty string
    int32_t* flags;  // 2 x count: 1 = named an existing file (not a directory) when read,
                     // 2 = could not be examined, 0 = neither
    int32_t count;   // operations: entry 2k is the source, 2k + 1 the target
    bool unread;     // the value may hold operations that could not be read
};

// The product's files that DeletePendingNow may delete: full paths, compared
// without regard to letter case.
const uint32_t OwnFilesCapacity = 9;
const uint32_t OwnCopyNamesCapacity = 3;
struct OwnFiles {
    WideString paths[OwnFilesCapacity];
    uint32_t count;
    // Where the spooler puts the files of a driver it deletes while they are
    // loaded ("a temporary directory"): a file of one of `copyNames` in a
    // folder anywhere below `copyRoot` is ours too.
    WideString copyRoot;
    const WCHAR* copyNames[OwnCopyNamesCapacity];
    uint32_t copyNameCount;
};
// Adds the path made of `directory` (ending in its separator), `folder`
// (empty, or ending in its separator) and `name`; nothing when it would not
// be a full path or cannot be built whole. Returns whether it was added.
bool AddOwnFile(OwnFiles& own, const WCHAR* directory, const WCHAR* folder, const WCHAR* name);
// Copies of `names` (at most OwnCopyNamesCapacity, the texts outliving `own`)
// below `directory` + `folder`, built as AddOwnFile builds a path. Returns
// whether the folder could be built.
bool AddOwnCopies(OwnFiles& own, const WCHAR* directory, const WCHAR* folder,
                  const WCHAR* const* names, uint32_t count);
bool IsOwnFile(const OwnFiles& own, const WCHAR* path);
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
// Whether a deletion of a file of `own` still waits for the restart: the file
// existed (or could not be examined) when the table was read and
// DeletePendingNow has not deleted it.
bool OwnDeletionWaits(const PendingRenameTable& table, const OwnFiles& own);
void ReleasePendingRenames(PendingRenameTable& table);
