#include "files/pending_cancel.h"

#include "common/text.h"
#include "files/pending_value.h"
#include "run/install_context.h"
#include "run/install_log.h"

#include <cstring>

namespace {

const WCHAR* const PendingValueName = W("PendingFileRenameOperations");

// Copies the strings the walk sees into `kept` without the cancelled pairs
// (a deletion of `path`), logs each cancelled one and returns how many there
// were; `keptCount` receives the units kept. What follows the last string
// the walk sees is the value's own final terminator, or nothing of any
// operation, and is not copied.
size_t FilterOperations(InstallContext& context, const PendingValue& value, const WCHAR* path,
                        WCHAR* kept, int64_t& keptCount) {
    size_t cancelled = 0;
    int64_t out = 0;
    int64_t p = 0;
    int64_t source = NextPendingString(value, p);
    while (source >= 0) {
        int64_t target = NextPendingString(value, p);
        // p may lie one past the units when the last string had no terminator.
        int64_t end = p < value.units ? p : value.units;
        if (target >= 0 && value.text[target] == 0 &&
            TextEqualNoCase(PendingFileName(value.text + source), path)) {
            LogLine(context, W("Pending deletion cancelled: %s"), path);
            ++cancelled;
        } else {
            std::memcpy(kept + out, value.text + source, (end - source) * sizeof(WCHAR));
            out += end - source;
        }
        source = target >= 0 ? NextPendingString(value, p) : -1;
    }
    keptCount = out;
    return cancelled;
}

void WriteKept(HKEY key, WCHAR* kept, int64_t count) {
    if (count == 0) {
        RegDeleteValueW(key, PendingValueName);
        return;
    }
    if (kept[count - 1] != 0)
        kept[count++] = 0; // a last string that lacked its terminator
    kept[count++] = 0;     // the list's closing terminator
    RegSetValueExW(key, PendingValueName, 0, REG_MULTI_SZ, reinterpret_cast<LPBYTE>(kept),
                   static_cast<DWORD>(count * sizeof(WCHAR)));
}

} // namespace

void CancelPendingDeletion(InstallContext& context, const WCHAR* path) {
    if (!path || !path[0])
        return;
    HKEY key = OpenPendingKey(KEY_READ | KEY_SET_VALUE);
    if (!key)
        return;
    PendingValue value = ReadPendingValue(key);
    if (value.text && value.type == REG_MULTI_SZ) {
        // Room for every unit and two terminators more.
        WCHAR* kept = static_cast<WCHAR*>(GlobalAlloc(GPTR, (value.units + 2) * sizeof(WCHAR)));
        int64_t keptCount = 0;
        // Nothing cancelled: the value stays as it is, byte for byte.
        if (kept && FilterOperations(context, value, path, kept, keptCount) != 0)
            WriteKept(key, kept, keptCount);
        GlobalFree(kept);
    }
    ReleasePendingValue(value);
    RegCloseKey(key);
}
