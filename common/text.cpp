#include "common/text.h"

size_t TextLength(const WCHAR* text) {
    size_t n = 0;
    if (text)
        while (text[n])
            ++n;
    return n;
}

bool TextEqual(const WCHAR* a, const WCHAR* b) {
    if (!a || !b)
        return a == b;
    size_t i = 0;
    for (; a[i] == b[i]; ++i)
        if (!a[i])
            return true;
    return false;
}

namespace {
WCHAR FoldAscii(WCHAR c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<WCHAR>(c + ('a' - 'A')) : c;
}
} // namespace

bool TextEqualNoCase(const WCHAR* a, const WCHAR* b) {
    if (!a || !b)
        return a == b;
    size_t i = 0;
    for (; FoldAscii(a[i]) == FoldAscii(b[i]); ++i)
        if (!a[i])
            return true;
    return false;
}

bool TextStartsNoCase(const WCHAR* text, const WCHAR* prefix) {
    if (!text || !prefix)
        return false;
    for (size_t i = 0; prefix[i]; ++i)
        if (FoldAscii(text[i]) != FoldAscii(prefix[i]))
            return false;
    return true;
}

WCHAR* TextFind(WCHAR* text, const WCHAR* needle) {
    if (!text || !needle)
        return nullptr;
    size_t n = TextLength(needle);
    for (WCHAR* p = text; *p; ++p) {
        size_t i = 0;
        while (i < n && p[i] == needle[i])
            ++i;
        if (i == n)
            return p;
    }
    return n == 0 ? text : nullptr;
}

bool IsFullPath(const WCHAR* path) {
    if (!path || !path[0])
        return false;
    bool letter = (path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z');
    bool drive = letter && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
    bool unc = path[0] == '\\' && path[1] == '\\' && path[2] != 0 && path[2] != '\\';
    return drive || unc;
}

const WCHAR* FileNamePart(const WCHAR* path) {
    const WCHAR* name = path;
    for (const WCHAR* c = path; *c; ++c)
        if (*c == '\\' || *c == '/' || *c == ':')
            name = c + 1;
    return name;
}

int32_t ParseDecimal(const WCHAR* text) {
    if (!text)
        return 0;
    const WCHAR* p = text;
    while (*p == ' ' || (*p >= 9 && *p <= 13))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    int64_t value = 0;
    const int64_t limit = negative ? 2147483648LL : 2147483647LL;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > limit)
            value = limit; // keep consuming digits, clamped as wcstol does
    }
    return static_cast<int32_t>(negative ? -value : value);
}

namespace {

struct Output {
    WCHAR* buffer;
    size_t capacity;
    size_t used;
    void Put(WCHAR c) {
        if (used + 1 < capacity)
            buffer[used++] = c;
    }
};

void PutUnsigned(Output& out, uint32_t value, uint32_t base) {
    WCHAR digits[16];
    int n = 0;
    do {
        uint32_t d = value % base;
        digits[n++] = static_cast<WCHAR>(d < 10 ? '0' + d : 'a' + d - 10);
        value /= base;
    } while (value);
    while (n)
        out.Put(digits[--n]);
}

} // namespace

int FormatTextV(WCHAR* buffer, size_t capacity, const WCHAR* format, va_list args) {
    if (!buffer || capacity == 0)
        return 0;
    Output out{buffer, capacity, 0};
    for (const WCHAR* p = format; p && *p; ++p) {
        if (*p != '%') {
            out.Put(*p);
            continue;
        }
        WCHAR conversion = p[1];
        if (conversion == 'd') {
            int32_t v = va_arg(args, int32_t);
            if (v < 0)
                out.Put('-');
            PutUnsigned(out, v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v), 10);
        } else if (conversion == 'x') {
            PutUnsigned(out, va_arg(args, uint32_t), 16);
        } else if (conversion == 's') {
            const WCHAR* s = va_arg(args, const WCHAR*);
            if (!s)
                s = W("(null)");
            while (*s)
                out.Put(*s++);
        } else if (conversion == '%') {
            out.Put('%');
        } else {
            out.Put('%'); // not a conversion of ours: keep it as it stands
            continue;
        }
        ++p;
    }
    buffer[out.used] = 0;
    return static_cast<int>(out.used);
}

int FormatText(WCHAR* buffer, size_t capacity, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int n = FormatTextV(buffer, capacity, format, args);
    va_end(args);
    return n;
}
