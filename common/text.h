// The few UTF-16 text helpers the installer needs. libc's wide functions are
// not used: their wchar_t is 32 bits outside Windows.
#pragma once

#include "platform/win32.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>

size_t TextLength(const WCHAR* text);
// Exact comparison, code unit by code unit, terminator included.
bool TextEqual(const WCHAR* a, const WCHAR* b);
// Comparison that folds the ASCII letters only, as _wcsicmp does in the C locale.
bool TextEqualNoCase(const WCHAR* a, const WCHAR* b);
// Whether `text` begins with `prefix`, the ASCII letters folded.
bool TextStartsNoCase(const WCHAR* text, const WCHAR* prefix);
// First occurrence of `needle` in `text` (case-sensitive), or null.
WCHAR* TextFind(WCHAR* text, const WCHAR* needle);
// "C:\..." (or "C:/...") or "\\server...": a path that no current directory
// completes. False for null and the empty text.
bool IsFullPath(const WCHAR* path);
// What follows the last "\", "/" or ":" of a path: its file name.
const WCHAR* FileNamePart(const WCHAR* path);
// wcstol in base 10: leading white space, an optional sign, digits up to the
// first other character; clamped to the signed 32-bit range; 0 without digits.
int32_t ParseDecimal(const WCHAR* text);

// printf-style formatting with %d (signed 32-bit), %x (unsigned 32-bit, lower
// case), %s (UTF-16 text; "(null)" for a null pointer) and %%. Writes at most
// capacity - 1 code units and a terminator: a longer result is cut, never
// overrun. Returns the number of code units written.
int FormatText(WCHAR* buffer, size_t capacity, const WCHAR* format, ...);
int FormatTextV(WCHAR* buffer, size_t capacity, const WCHAR* format, va_list args);
