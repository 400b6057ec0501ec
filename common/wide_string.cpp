#include "common/wide_string.h"

#include "common/text.h"

#include <cstring>

namespace {

const WCHAR emptyText[1] = {0};

// Steps of 32 code units; beyond 8192 (a log of many queues) the step grows
// with the string, an eighth of it at least, so that a string grown a line
// at a time is copied O(log n) times, not O(n).
size_t CapacityFor(uint64_t length) {
    uint64_t units = length + 1;
    uint64_t step = 32;
    while (units > 8192 && step * 16 <= units)
        step *= 2;
    return static_cast<size_t>((units + step - 1) / step * step);
}

void CopyUnits(WCHAR* to, const WCHAR* from, uint64_t count) {
    std::memcpy(to, from, static_cast<size_t>(count) * sizeof(WCHAR));
}

// Whether `units` points into the string's own block, which a resize may move.
bool PointsInto(const WideString& s, const WCHAR* units) {
    if (!s.block)
        return false;
    uintptr_t p = reinterpret_cast<uintptr_t>(units);
    uintptr_t begin = reinterpret_cast<uintptr_t>(s.block->text);
    return p >= begin && p <= begin + s.block->length * sizeof(WCHAR);
}

} // namespace

size_t BlockSizeFor(uint64_t length) {
    return sizeof(uint64_t) + CapacityFor(length) * sizeof(WCHAR);
}

void Release(WideString& s) {
    if (s.block)
        HeapFree(GetProcessHeap(), 0, s.block);
    s.block = nullptr;
}

bool SetLength(WideString& s, uint64_t n) {
    if (n == 0) {
        Release(s);
        return true;
    }
    size_t newSize = BlockSizeFor(n);
    size_t oldSize = s.block ? BlockSizeFor(s.block->length) : 0;
    if (newSize != oldSize) {
        void* block = s.block ? HeapReAlloc(GetProcessHeap(), 0, s.block, newSize)
                              : HeapAlloc(GetProcessHeap(), 0, newSize);
        if (!block)
            return false;
        s.block = static_cast<WideStringBlock*>(block);
    }
    s.block->text[n] = 0;
    s.block->length = n;
    return true;
}

bool Assign(WideString& s, const WCHAR* text) {
    size_t n = TextLength(text);
    if (n == 0) {
        Release(s);
        return true;
    }
    if (PointsInto(s, text)) {
        // Part of our own text, which the resize would move or cut: copy first.
        WideString copy;
        if (!Append(copy, text, n))
            return false;
        Release(s);
        s = copy;
        return true;
    }
    if (!SetLength(s, n))
        return false;
    CopyUnits(s.block->text, text, n);
    return true;
}

bool Assign(WideString& s, const WideString& other) {
    if (&s == &other)
        return true;
    if (!other.block) {
        Release(s);
        return true;
    }
    uint64_t n = other.block->length;
    if (!SetLength(s, n))
        return false;
    CopyUnits(s.block->text, other.block->text, n);
    return true;
}

bool Append(WideString& s, const WCHAR* units, uint64_t count) {
    if (count == 0)
        return true;
    uint64_t m = Length(s);
    if (PointsInto(s, units)) {
        // Part of our own text: the resize may move it, so keep its place.
        uint64_t offset = static_cast<uint64_t>(units - s.block->text);
        if (!SetLength(s, m + count))
            return false;
        std::memmove(s.block->text + m, s.block->text + offset,
                     static_cast<size_t>(count) * sizeof(WCHAR));
        return true;
    }
    if (!SetLength(s, m + count))
        return false;
    CopyUnits(s.block->text + m, units, count);
    return true;
}

bool Append(WideString& s, const WCHAR* text) {
    return Append(s, text, TextLength(text));
}

WideString FromAnsi(const char* text) {
    WideString s;
    int k = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, nullptr, 0);
    if (k <= 1)
        return s;
    void* block = HeapAlloc(GetProcessHeap(), 0, BlockSizeFor(static_cast<uint64_t>(k - 1)));
    if (!block)
        return s;
    s.block = static_cast<WideStringBlock*>(block);
    s.block->length = static_cast<uint64_t>(k - 1);
    s.block->text[k - 1] = 0;
    if (MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, s.block->text, k) != k)
        Release(s); // the text changed under us or the code page failed: nothing half-made
    return s;
}

WideString Copy(const WideString& s) {
    WideString copy;
    if (!s.block)
        return copy;
    SIZE_T size = HeapSize(GetProcessHeap(), 0, s.block);
    if (size == static_cast<SIZE_T>(-1))
        return copy;
    void* block = HeapAlloc(GetProcessHeap(), 0, size);
    if (!block)
        return copy;
    std::memcpy(block, s.block, size);
    copy.block = static_cast<WideStringBlock*>(block);
    return copy;
}

WideString DirectoryPart(const WideString& s) {
    WideString result;
    uint64_t n = Length(s);
    if (n == 0)
        return result;
    const WCHAR* text = s.block->text;
    uint64_t cut = n;
    for (uint64_t i = n; i-- > 0;)
        if (text[i] == '\\') {
            cut = i;
            break;
        }
    if (cut == n)
        for (uint64_t i = n; i-- > 0;)
            if (text[i] == '/') {
                cut = i;
                break;
            }
    if (cut == n || cut == 0)
        return result;
    WideString part;
    if (SetLength(part, cut))
        CopyUnits(part.block->text, text, cut);
    result = Copy(part);
    Release(part);
    return result;
}

const WCHAR* Text(const WideString& s) {
    return s.block ? s.block->text : emptyText;
}

uint64_t Length(const WideString& s) {
    return s.block ? s.block->length : 0;
}
