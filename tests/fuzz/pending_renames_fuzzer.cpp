// ReadPendingRenames on any bytes as the registry value, of any type and
// length (odd ones too): the table must stay within the value, hold count
// pairs whose texts are exactly the value's strings, and DeletePendingNow
// and the release must leave nothing behind.
#include "files/pending_renames.h"
#include "platform/sim/machine.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sim::Reset();
    if (size > 0) {
        DWORD type = data[0] % 8;
        std::vector<uint8_t> value(data + 1, data + size);
        sim::SetValue(sim::PendingRenamesKey, u"PendingFileRenameOperations", type, value);
        sim::PutFile(u"C:\\Windows\\a", "x");
        sim::PutFile(u"C:\\Windows\\system32\\ksvmon64.dll", "x");
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
        if (table.entries[i])
            total += std::char_traits<char16_t>::length(
                         reinterpret_cast<const char16_t*>(table.entries[i])) +
                     1;
        else
            total += 1;
    }
    if (total > units + 1) // every entry is a string of the value
        std::abort();
    DeletePendingNow(table);
    ReleasePendingRenames(table);
    if (sim::LiveBlocks() != 0 || sim::BadFrees() != 0)
        std::abort();
    return 0;
}
