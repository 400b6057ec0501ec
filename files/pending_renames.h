// The file operations the system will carry out at the next restart, as the
// Session Manager keeps them, and the deletions among them that can be done
// at once. The registry value itself is only read.
#pragma once

#include "platform/win32.h"

#include <cstdint>

struct PendingRenameTable {
    WCHAR** entries; // 2 x count global-heap texts as stored; none for an empty string
    int32_t* flags;  // 2 x count: 1 = named an existing file (not a directory) when read
    int32_t count;   // operations: entry 2k is the source, 2k + 1 the target
};

// Fills the table anew (a filled one must be released first). Whatever
// cannot be read leaves the table empty.
void ReadPendingRenames(PendingRenameTable& table);
// Deletes the sources of pending deletions that existed when the table was
// read, where possible, and clears their flags.
void DeletePendingNow(PendingRenameTable& table);
void ReleasePendingRenames(PendingRenameTable& table);
