// WideString: the one owning UTF-16 string. A single general-heap block holds
// a 64-bit length, the code units and the terminator, with capacity in steps
// of 32 code units; the empty string owns no block at all.
#pragma once

#include "platform/win32.h"

#include <cstdint>

struct WideStringBlock {
    uint64_t length;
    WCHAR text[1]; // length code units, the terminator, spare room
};

struct WideString {
    WideStringBlock* block = nullptr;
};

// Bytes of the block that holds a string of `length` code units.
size_t BlockSizeFor(uint64_t length);

// Sets the length; the code units beyond the old length are the caller's to
// write. Returns false, leaving the string as it was, when the heap refuses
// the block: no operation ever writes through a missing block.
[[nodiscard]] bool SetLength(WideString& s, uint64_t n);
// Assign and Append return false, leaving the string as it was, when the heap
// refuses the block.
[[nodiscard]] bool Assign(WideString& s, const WCHAR* text);
[[nodiscard]] bool Assign(WideString& s, const WideString& other);
[[nodiscard]] bool Append(WideString& s, const WCHAR* text);
[[nodiscard]] bool Append(WideString& s, const WCHAR* units, uint64_t count);
WideString FromAnsi(const char* text);
WideString DirectoryPart(const WideString& s);
const WCHAR* Text(const WideString& s);
uint64_t Length(const WideString& s);
WideString Copy(const WideString& s);
void Release(WideString& s);
