#include "files/pending_cancel.h"

#include "common/text.h"
#include "install/context/install_context.h"
#include "install/context/install_log.h"

#include <cstring>

namespace {

const char* const SessionManagerKey = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const WCHAR* const PendingValue = W("PendingFileRenameOperations");

bool IsCancelled(const WCHAR* source, size_t sourceLength, const WCHAR* target, const WCHAR* path) {
    if (target[0] != 0)
        return false; // a rename, not a deletion
    const WCHAR* name = source;
    if (sourceLength >= 4 && name[0] == '\\' && name[1] == '?' && name[2] == '?' && name[3] == '\\')
        name += 4;
    return TextEqualNoCase(name, path);
}

// Copies the value's strings into `kept` without the cancelled pairs, logs
// each cancelled operation and returns how many there were; `keptCount`
// receives the number of code units kept.
size_t FilterOperations(InstallContext& context, const WCHAR* units, size_t count,
                        const WCHAR* path, WCHAR* kept, size_t& keptCount) {
    size_t cancelled = 0;
    size_t out = 0;
    size_t p = 0;
    while (p < count) {
        size_t sourceLength = TextLength(units + p);
        size_t q = p + sourceLength + 1;
        if (q >= count) {
            // A last string without a partner stays as it is.
            std::memcpy(kept + out, units + p, (count - p) * sizeof(WCHAR));
            out += count - p;
            break;
        }
        size_t targetLength = TextLength(units + q);
        size_t end = q + targetLength + 1;
        if (IsCancelled(units + p, sourceLength, units + q, path)) {
            LogLine(context, W("Pending deletion cancelled: %s"), path);
            ++cancelled;
        } else {
            std::memcpy(kept + out, units + p, (end - p) * sizeof(WCHAR));
            out += end - p;
        }
        p = end;
    }
    keptCount = out;
    return cancelled;
}

} // namespace

void CancelPendingDeletion(InstallContext& context, const WCHAR* path) {
    HKEY key = nullptr;
    if (!path || !path[0] ||
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, SessionManagerKey, 0, KEY_READ | KEY_SET_VALUE, &key) !=
            ERROR_SUCCESS)
        return;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, PendingValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        type == REG_MULTI_SZ && size >= sizeof(WCHAR)) {
        // One spare terminator behind the value, so a last string without its
        // own never leads a scan beyond the block.
        size_t count = size / sizeof(WCHAR);
        WCHAR* units = static_cast<WCHAR*>(GlobalAlloc(GPTR, (count + 1) * sizeof(WCHAR)));
        WCHAR* kept = static_cast<WCHAR*>(GlobalAlloc(GPTR, (count + 2) * sizeof(WCHAR)));
        if (units && kept &&
            RegQueryValueExW(key, PendingValue, nullptr, &type, reinterpret_cast<LPBYTE>(units),
                             &size) == ERROR_SUCCESS) {
            count = size / sizeof(WCHAR);
            // Without the list's closing terminator: empty strings before it count.
            if ((count >= 2 && units[count - 1] == 0 && units[count - 2] == 0) ||
                (count == 1 && units[0] == 0))
                --count;
            // Nothing cancelled: the value stays as it is, byte for byte.
            size_t keptCount = 0;
            if (FilterOperations(context, units, count, path, kept, keptCount) != 0) {
                if (keptCount == 0) {
                    RegDeleteValueW(key, PendingValue);
                } else {
                    if (kept[keptCount - 1] != 0)
                        kept[keptCount++] = 0; // a last string that lacked its terminator
                    kept[keptCount++] = 0;     // the list's closing terminator
                    RegSetValueExW(key, PendingValue, 0, REG_MULTI_SZ,
                                   reinterpret_cast<LPBYTE>(kept),
                                   static_cast<DWORD>(keptCount * sizeof(WCHAR)));
                }
            }
        }
        GlobalFree(kept);
        GlobalFree(units);
    }
    RegCloseKey(key);
}
