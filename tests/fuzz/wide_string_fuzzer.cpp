// WideString against a plain model: any sequence of operations keeps the same
// text as the model, the terminator at index Length, and a block of exactly
// the size the capacity rule gives (none when empty). Heap refusals are mixed
// in: a refused operation leaves the string as it was.
#include "common/wide_string.h"
#include "platform/sim/machine.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Check(const WideString& s, const std::u16string& model) {
    if (Length(s) != model.size() || Text(s)[model.size()] != 0 ||
        std::memcmp(Text(s), model.data(), model.size() * 2) != 0)
        std::abort();
    if (model.empty() != (s.block == nullptr))
        std::abort();
    if (s.block && HeapSize(GetProcessHeap(), 0, s.block) != BlockSizeFor(model.size()))
        std::abort();
}

std::u16string Piece(const uint8_t*& p, const uint8_t* end) {
    size_t n = p < end ? *p++ % 70 : 0;
    std::u16string text;
    for (size_t i = 0; i < n && p < end; ++i) {
        char16_t c = static_cast<char16_t>(*p++ % 4 == 0 ? u'\\' : u'a' + i % 26);
        text.push_back(c);
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sim::Reset();
    const uint8_t* p = data;
    const uint8_t* end = data + size;
    WideString s, other;
    std::u16string model, otherModel;
    while (p < end) {
        uint8_t op = *p++;
        if (op & 0x80)
            sim::FailCall(op & 0x40 ? "HeapReAlloc" : "HeapAlloc", 0,
                          sim::CallCount(op & 0x40 ? "HeapReAlloc" : "HeapAlloc") + 1);
        std::u16string before = model;
        switch (op % 8) {
        case 0: {
            size_t n = p < end ? *p++ % 200 : 0;
            if (SetLength(s, n)) {
                model.resize(n, u'?');
                for (size_t i = before.size(); i < n; ++i)
                    s.block->text[i] = u'?';
            }
            break;
        }
        case 1: {
            std::u16string t = Piece(p, end);
            if (Assign(s, reinterpret_cast<const WCHAR*>(t.c_str())))
                model = t;
            break;
        }
        case 2: {
            std::u16string t = Piece(p, end);
            if (Append(s, reinterpret_cast<const WCHAR*>(t.c_str())))
                model += t;
            break;
        }
        case 3:
            if (Assign(other, s))
                otherModel = model;
            break;
        case 4: {
            WideString c = Copy(s);
            Check(c, Length(c) ? model : std::u16string());
            Release(c);
            break;
        }
        case 5: {
            WideString d = DirectoryPart(s);
            std::u16string expected;
            size_t cut = model.rfind(u'\\');
            if (cut == std::u16string::npos)
                cut = model.rfind(u'/');
            if (cut != std::u16string::npos && cut > 0)
                expected = model.substr(0, cut);
            if (Length(d))
                Check(d, expected);
            Release(d);
            break;
        }
        case 6:
            if (Assign(s, other))
                model = otherModel;
            break;
        default:
            Release(s);
            model.clear();
            break;
        }
        sim::M().faults.clear();
        Check(s, model);
        Check(other, otherModel);
    }
    Release(s);
    Release(other);
    if (sim::LiveBlocks() != 0 || sim::BadFrees() != 0)
        std::abort();
    return 0;
}
