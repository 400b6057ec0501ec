// The Session Manager's "PendingFileRenameOperations" as stored: one way to
// read the value and to walk its strings, for every step that looks at it.
#pragma once

#include "platform/win32.h"

#include <cstdint>

// The value as read. A spare terminator follows the last unit read, so every
// string of the value ends inside the block, also one the value cut off.
struct PendingValue {
    WCHAR* text;   // global heap; none without a value
    int64_t units; // whole code units read (an odd last byte is none)
    int64_t limit; // (size - 2) / 2: the units before the final extra terminator
    DWORD type;
    bool unread; // there may be a value, but it could not be read
};

// The Session Manager's key opened with `access`, or null.
HKEY OpenPendingKey(REGSAM access);
// The value under an open key; none when it is missing, empty or cannot be
// read whole (it changed between the size query and the read, say: `unread`).
PendingValue ReadPendingValue(HKEY key);
void ReleasePendingValue(PendingValue& value);
// Walks the strings: from `position` (0 at first) gives the next string's
// offset and moves past it, or -1 once the value holds no more. Empty
// strings count like any other.
int64_t NextPendingString(const PendingValue& value, int64_t& position);
// The name the file system knows: the text without a leading "\??\" (all
// four units must match).
const WCHAR* PendingFileName(const WCHAR* text);
