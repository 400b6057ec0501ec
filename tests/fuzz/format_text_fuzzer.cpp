// FormatText against an independent reference: any mix of literal text and
// up to four %d / %x / %s / %% conversions, with arguments that match them,
// into a buffer of any capacity. The result must equal the reference cut to
// capacity - 1 units, and nothing beyond the buffer may be touched.
#include "common/text.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

enum class Kind { Int, Hex, Str };

struct Arguments {
    std::vector<Kind> kinds;
    std::vector<int32_t> ints;
    std::vector<std::u16string> texts;
    std::vector<bool> nullText;
};

std::u16string Reference(const std::u16string& format, const Arguments& a) {
    std::u16string out;
    size_t k = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != u'%' || i + 1 >= format.size()) {
            out.push_back(format[i]);
            continue;
        }
        char16_t c = format[i + 1];
        if (c == u'd') {
            std::string d = std::to_string(a.ints[k++]);
            out.append(d.begin(), d.end());
        } else if (c == u'x') {
            char buf[16];
            std::snprintf(buf, sizeof buf, "%x", static_cast<uint32_t>(a.ints[k++]));
            out.append(buf, buf + std::strlen(buf));
        } else if (c == u's') {
            out += a.nullText[k] ? std::u16string(u"(null)") : a.texts[k];
            ++k;
        } else if (c == u'%') {
            out.push_back(u'%');
        } else {
            out.push_back(u'%');
            continue;
        }
        ++i;
    }
    return out;
}

const WCHAR* TextArg(const Arguments& a, size_t k) {
    return a.nullText[k] ? nullptr : reinterpret_cast<const WCHAR*>(a.texts[k].c_str());
}

// Calls FormatText with the arguments in their real types, one level per argument.
template <typename... Pack>
int Call(WCHAR* buffer, size_t capacity, const WCHAR* format, const Arguments& a, size_t k,
         Pack... pack) {
    if (k == a.kinds.size())
        return FormatText(buffer, capacity, format, pack...);
    if constexpr (sizeof...(Pack) < 4) {
        switch (a.kinds[k]) {
        case Kind::Int:
            return Call(buffer, capacity, format, a, k + 1, pack..., a.ints[k]);
        case Kind::Hex:
            return Call(buffer, capacity, format, a, k + 1, pack...,
                        static_cast<uint32_t>(a.ints[k]));
        case Kind::Str:
            return Call(buffer, capacity, format, a, k + 1, pack..., TextArg(a, k));
        }
    }
    std::abort();
}

struct Reader {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    uint8_t Byte() { return pos < size ? data[pos++] : 0; }
    bool More() const { return pos < size; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, size};
    size_t capacity = 1 + in.Byte() % 64 + (in.Byte() % 2 ? 1000 : 0);
    std::u16string format;
    Arguments args;
    while (in.More() && format.size() < 2000) {
        uint8_t op = in.Byte();
        if (op < 200 || args.kinds.size() == 4) {
            char16_t c = static_cast<char16_t>(op | (in.Byte() << 8));
            if (c == 0 || c == u'%')
                c = u'a';
            format.push_back(c);
            continue;
        }
        switch (op % 5) {
        case 0:
            format += u"%d";
            args.kinds.push_back(Kind::Int);
            break;
        case 1:
            format += u"%x";
            args.kinds.push_back(Kind::Hex);
            break;
        case 2:
        case 3:
            format += u"%s";
            args.kinds.push_back(Kind::Str);
            break;
        default:
            format += u"%%";
            continue;
        }
        int32_t v = static_cast<int32_t>(in.Byte() | in.Byte() << 8 | in.Byte() << 16 |
                                         static_cast<uint32_t>(in.Byte()) << 24);
        args.ints.push_back(v);
        std::u16string text(in.Byte() % 40, u'\0');
        for (char16_t& c : text)
            c = static_cast<char16_t>(u'A' + in.Byte() % 26);
        args.texts.push_back(text);
        args.nullText.push_back(in.Byte() % 8 == 0);
    }
    // Pad the per-argument vectors for %% entries that consumed none.
    std::u16string expected = Reference(format, args);
    if (expected.size() > capacity - 1)
        expected.resize(capacity - 1);

    std::vector<WCHAR> buffer(capacity); // exact size: ASan sees any overrun
    int n = Call(buffer.data(), capacity, reinterpret_cast<const WCHAR*>(format.c_str()), args, 0);
    if (n != static_cast<int>(expected.size()) || buffer[static_cast<size_t>(n)] != 0 ||
        std::memcmp(buffer.data(), expected.data(), expected.size() * 2) != 0)
        std::abort();
    return 0;
}
