#include "files/pending_value.h"

#include "common/text.h"

namespace {

const char SessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const WCHAR PendingValueName[] = W("PendingFileRenameOperations");

} // namespace

HKEY OpenPendingKey(REGSAM access) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SessionManagerKey, 0, access, &key) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

PendingValue ReadPendingValue(HKEY key) {
    PendingValue value = {nullptr, 0, 0, REG_NONE, false};
    DWORD type = REG_NONE;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, PendingValueName, nullptr, &type, nullptr, &size);
    value.unread = status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND;
    if (status != ERROR_SUCCESS || size == 0)
        return value;
    // Room for every unit and a spare terminator: an odd last byte lands in
    // the spare unit and is overwritten below.
    DWORD allocated = (size / 2 + 1) * 2;
    WCHAR* text = static_cast<WCHAR*>(GlobalAlloc(GPTR, allocated));
    // A value that grew between the two queries fails the read; one whose
    // reported size passes the block is never believed.
    if (!text ||
        RegQueryValueExW(key, PendingValueName, nullptr, &type, reinterpret_cast<LPBYTE>(text),
                         &size) != ERROR_SUCCESS ||
        size / 2 + 1 > allocated / 2) {
        GlobalFree(text);
        value.unread = true;
        return value;
    }
    value.text = text;
    value.units = size / 2;
    value.limit = (static_cast<int64_t>(size) - 2) / 2;
    value.type = type;
    text[value.units] = 0;
    return value;
}

void ReleasePendingValue(PendingValue& value) {
    GlobalFree(value.text);
    value = PendingValue{nullptr, 0, 0, REG_NONE, false};
}

int64_t NextPendingString(const PendingValue& value, int64_t& position) {
    if (!value.text || position >= value.limit)
        return -1;
    int64_t start = position;
    position += static_cast<int64_t>(TextLength(value.text + start)) + 1;
    return start;
}

const WCHAR* PendingFileName(const WCHAR* text) {
    bool prefixed = text[0] == '\\' && text[1] == '?' && text[2] == '?' && text[3] == '\\';
    return prefixed ? text + 4 : text;
}
