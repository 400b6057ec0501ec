// The pending operations' one reader, through both of its callers, on any
// bytes as the registry value, of any type and length (odd ones too).
// ReadPendingRenames: the table must stay within the value, hold count pairs
// whose texts are exactly the value's strings, and DeletePendingNow and the
// release must leave nothing behind. CancelPendingDeletion: read again, the
// value must hold the same operations but the cancelled deletions, in order.
#include "files/pending_cancel.h"
#include "files/pending_renames.h"
#include "run/install_context.h"
#include "platform/sim/machine.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char16_t Ours[] = u"C:\\Windows\\system32\\ksvmon64.dll";

std::u16string Entry(const PendingRenameTable& table, int32_t i) {
    const WCHAR* text = table.entries[i];
    return text ? std::u16string(reinterpret_cast<const char16_t*>(text)) : std::u16string();
}

bool IsOurDeletion(const std::u16string& source, const std::u16string& target) {
    std::u16string name = source.compare(0, 4, u"\\??\\") == 0 ? source.substr(4) : source;
    return target.empty() && !name.empty() && sim::Upper(name) == sim::Upper(Ours);
}

// The table's operations as pairs of texts; with `withoutOurs`, our
// deletions left out.
std::vector<std::u16string> Operations(const PendingRenameTable& table, bool withoutOurs) {
    std::vector<std::u16string> out;
    for (int32_t k = 0; k < table.count; ++k) {
        std::u16string source = Entry(table, 2 * k), target = Entry(table, 2 * k + 1);
        if (!(withoutOurs && IsOurDeletion(source, target)))
            out.insert(out.end(), {source, target});
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sim::Reset();
    if (size > 0) {
        DWORD type = data[0] % 8;
        std::vector<uint8_t> value(data + 1, data + size);
        sim::SetValue(sim::PendingRenamesKey, u"PendingFileRenameOperations", type, value);
        sim::PutFile(u"C:\\Windows\\a", "x");
        sim::PutFile(Ours, "x");
    }
    PendingRenameTable table;
    ReadPendingRenames(table);
    if (table.count < 0 || (table.count == 0) != (table.entries == nullptr))
        std::abort();
    size_t units = size > 0 ? (size - 1) / 2 : 0;
    size_t total = 0;
    for (int32_t i = 0; i < 2 * table.count; ++i) {
        if (table.flags[i] != 0 && table.flags[i] != 1)
            std::abort();
        total += Entry(table, i).size() + 1;
    }
    if (total > units + 1) // every entry is a string of the value
        std::abort();
    std::vector<std::u16string> kept = Operations(table, true);
    OwnFiles own{};
    AddOwnFile(own, u"C:\\Windows\\system32\\", nullptr, u"ksvmon64.dll");
    DeletePendingNow(table, own);
    ReleaseOwnFiles(own);
    ReleasePendingRenames(table);

    InstallContext context{};
    CancelPendingDeletion(context, Ours);
    Release(context.LogText);
    ReadPendingRenames(table);
    sim::RegValue* value = sim::FindValue(sim::PendingRenamesKey, u"PendingFileRenameOperations");
    bool foreign = value && value->type != REG_MULTI_SZ; // left as it is
    if (!foreign && Operations(table, false) != kept)
        std::abort();
    ReleasePendingRenames(table);
    if (sim::LiveBlocks() != 0 || sim::BadFrees() != 0)
        std::abort();
    return 0;
}
