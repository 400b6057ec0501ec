// The registry: HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER with typed values.
#include "machine.h"
#include "sim_win32.h"

#include <cstring>

using namespace sim;

namespace sim {

const Text PendingRenamesKey = u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// A key's parents exist as well: "HKLM\SYSTEM" can be opened once anything
// below it was created.
RegKey& CreateKey(const Text& path) {
    for (size_t cut = path.find(u'\\'); cut != Text::npos; cut = path.find(u'\\', cut + 1)) {
        RegKey& parent = M().keys[Upper(path.substr(0, cut))];
        if (parent.path.empty())
            parent.path = path.substr(0, cut);
    }
    RegKey& k = M().keys[Upper(path)];
    if (k.path.empty())
        k.path = path;
    return k;
}

RegKey* FindKey(const Text& path) {
    auto it = M().keys.find(Upper(path));
    return it == M().keys.end() ? nullptr : &it->second;
}

void SetValue(const Text& keyPath, const Text& name, DWORD type, const std::vector<uint8_t>& data) {
    RegValue& v = CreateKey(keyPath).values[Upper(name)];
    v.name = name;
    v.type = type;
    v.data = data;
}

void SetStringValue(const Text& keyPath, const Text& name, const Text& text) {
    std::vector<uint8_t> data((text.size() + 1) * 2, 0);
    std::memcpy(data.data(), text.data(), text.size() * 2);
    SetValue(keyPath, name, REG_SZ, data);
}

RegValue* FindValue(const Text& keyPath, const Text& name) {
    RegKey* k = FindKey(keyPath);
    if (!k)
        return nullptr;
    auto it = k->values.find(Upper(name));
    return it == k->values.end() ? nullptr : &it->second;
}

std::vector<Text> MultiStrings(const RegValue& value) {
    std::vector<Text> out;
    size_t units = value.data.size() / 2;
    const uint8_t* d = value.data.data();
    Text current;
    size_t i = 0;
    // The list ends at the empty string that follows the last terminator.
    for (; i < units; ++i) {
        char16_t c = static_cast<char16_t>(d[2 * i] | (d[2 * i + 1] << 8));
        if (c == 0) {
            if (i + 1 == units)
                break; // the final extra terminator
            out.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty())
        out.push_back(current); // a last string without its terminator ends at the value's end
    return out;
}

std::vector<uint8_t> MultiStringBytes(const std::vector<Text>& strings) {
    std::vector<uint8_t> out;
    auto put = [&out](char16_t c) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    };
    for (const Text& s : strings) {
        for (char16_t c : s)
            put(c);
        put(0);
    }
    put(0);
    return out;
}

} // namespace sim

namespace {

Text RootName(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE)
        return u"HKLM";
    if (key == HKEY_CURRENT_USER)
        return u"HKCU";
    if (key == HKEY_USERS)
        return u"HKU"; // the loaded profiles' hives, "HKU\\<sid>\\..."
    return Text();
}

// The key's path for a predefined root or an open key handle; empty if neither.
Text KeyPath(HKEY key, DWORD* access) {
    Text root = RootName(key);
    if (!root.empty()) {
        if (access)
            *access = KEY_ALL_ACCESS;
        return root;
    }
    Handle* h = FindHandle(reinterpret_cast<HANDLE>(key), HandleKind::Key);
    if (!h)
        return Text();
    if (access)
        *access = h->access;
    return h->name;
}

LSTATUS OpenKey(HKEY key, const Text& sub, REGSAM access, PHKEY result) {
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Text base = KeyPath(key, nullptr);
    if (base.empty())
        return ERROR_INVALID_HANDLE;
    // No subkey: a new handle to the key itself, a predefined root included.
    if (sub.empty()) {
        *result = reinterpret_cast<HKEY>(NewHandle(HandleKind::Key, base, access));
        return ERROR_SUCCESS;
    }
    RegKey* k = FindKey(base + u"\\" + sub);
    if (!k)
        return ERROR_FILE_NOT_FOUND;
    *result = reinterpret_cast<HKEY>(NewHandle(HandleKind::Key, k->path, access));
    return ERROR_SUCCESS;
}

// What a power cut could still take back until the hive is flushed.
void Changed(const Text& path) {
    M().unflushed.insert(Upper(path));
}

// The key of a handle that carries `need`, or an error code.
LSTATUS KeyFor(HKEY key, DWORD need, RegKey*& out) {
    DWORD access = 0;
    Text path = KeyPath(key, &access);
    if (path.empty())
        return ERROR_INVALID_HANDLE;
    if ((access & need) != need)
        return ERROR_ACCESS_DENIED;
    out = FindKey(path);
    return out ? ERROR_SUCCESS : 1018 /* ERROR_KEY_DELETED */;
}

} // namespace

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM access, PHKEY result) {
    if (Enter("RegOpenKeyExA"))
        return static_cast<LSTATUS>(GetLastError());
    return OpenKey(key, subKey ? Widen(subKey) : Text(), access, result);
}

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM access, PHKEY result) {
    if (Enter("RegOpenKeyExW"))
        return static_cast<LSTATUS>(GetLastError());
    return OpenKey(key, subKey ? Text(subKey) : Text(), access, result);
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD size) {
    if (Enter("RegQueryValueExW"))
        return static_cast<LSTATUS>(GetLastError());
    if (reserved || (data && !size))
        return ERROR_INVALID_PARAMETER;
    RegKey* k = nullptr;
    if (LSTATUS status = KeyFor(key, KEY_QUERY_VALUE, k))
        return status;
    auto it = k->values.find(Upper(name ? Text(name) : Text()));
    if (it == k->values.end())
        return ERROR_FILE_NOT_FOUND;
    const RegValue& v = it->second;
    DWORD bytes = static_cast<DWORD>(v.data.size());
    if (type)
        *type = v.type;
    if (!data) {
        if (size)
            *size = bytes;
        return ERROR_SUCCESS;
    }
    if (*size < bytes) {
        *size = bytes;
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, v.data.data(), bytes);
    *size = bytes;
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD size) {
    if (Enter("RegSetValueExW"))
        return static_cast<LSTATUS>(GetLastError());
    if (reserved || (!data && size))
        return ERROR_INVALID_PARAMETER;
    RegKey* k = nullptr;
    if (LSTATUS status = KeyFor(key, KEY_SET_VALUE, k))
        return status;
    Text n = name ? Text(name) : Text();
    RegValue& v = k->values[Upper(n)];
    v.name = n;
    v.type = type;
    v.data.assign(data, data + size);
    Changed(k->path);
    return ERROR_SUCCESS;
}

namespace {
LSTATUS DeleteValue(HKEY key, const Text& name) {
    RegKey* k = nullptr;
    if (LSTATUS status = KeyFor(key, KEY_SET_VALUE, k))
        return status;
    if (!k->values.erase(Upper(name)))
        return ERROR_FILE_NOT_FOUND;
    Changed(k->path);
    return ERROR_SUCCESS;
}
} // namespace

LSTATUS RegDeleteValueA(HKEY key, LPCSTR name) {
    if (Enter("RegDeleteValueA"))
        return static_cast<LSTATUS>(GetLastError());
    return DeleteValue(key, name ? Widen(name) : Text());
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR name) {
    if (Enter("RegDeleteValueW"))
        return static_cast<LSTATUS>(GetLastError());
    return DeleteValue(key, name ? Text(name) : Text());
}

// The key's subkeys in a stable order; `size` in characters, in with the
// terminator's room, out without it.
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD size, LPDWORD reserved, LPWSTR,
                      LPDWORD, PFILETIME) {
    if (Enter("RegEnumKeyExW"))
        return static_cast<LSTATUS>(GetLastError());
    if (reserved || !name || !size)
        return ERROR_INVALID_PARAMETER;
    RegKey* k = nullptr;
    if (LSTATUS status = KeyFor(key, KEY_ENUMERATE_SUB_KEYS, k))
        return status;
    Text prefix = Upper(k->path) + u"\\";
    DWORD n = 0;
    for (const auto& entry : M().keys) {
        const Text& path = entry.first;
        if (path.compare(0, prefix.size(), prefix) != 0 ||
            path.find(u'\\', prefix.size()) != Text::npos || n++ != index)
            continue;
        Text child = entry.second.path.substr(prefix.size());
        if (*size < child.size() + 1)
            return ERROR_MORE_DATA;
        std::memcpy(name, child.c_str(), (child.size() + 1) * sizeof(WCHAR));
        *size = static_cast<DWORD>(child.size());
        return ERROR_SUCCESS;
    }
    return ERROR_NO_MORE_ITEMS;
}

LSTATUS RegCloseKey(HKEY key) {
    Enter("RegCloseKey");
    if (!RootName(key).empty())
        return ERROR_SUCCESS;
    auto it = M().handles.find(reinterpret_cast<uintptr_t>(key));
    if (it == M().handles.end() || it->second.kind != HandleKind::Key)
        return ERROR_INVALID_HANDLE;
    M().handles.erase(it);
    return ERROR_SUCCESS;
}

// Creates the key and the parents it lacks, or opens it when it exists.
LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR, DWORD, REGSAM access,
                        LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
    if (Enter("RegCreateKeyExW"))
        return static_cast<LSTATUS>(GetLastError());
    if (reserved || !result || !subKey || !subKey[0])
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Text base = KeyPath(key, nullptr);
    if (base.empty())
        return ERROR_INVALID_HANDLE;
    Text path = base + u"\\" + subKey;
    bool existed = FindKey(path) != nullptr;
    RegKey& k = CreateKey(path);
    if (!existed)
        Changed(k.path);
    if (disposition)
        *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    *result = reinterpret_cast<HKEY>(NewHandle(HandleKind::Key, k.path, access));
    return ERROR_SUCCESS;
}

// Documented: a key with subkeys is refused; its values go with it.
LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
    if (Enter("RegDeleteKeyW"))
        return static_cast<LSTATUS>(GetLastError());
    Text base = KeyPath(key, nullptr);
    if (base.empty())
        return ERROR_INVALID_HANDLE;
    Text path = Upper(subKey && subKey[0] ? base + u"\\" + subKey : base);
    auto it = M().keys.find(path);
    if (it == M().keys.end())
        return ERROR_FILE_NOT_FOUND;
    auto below = M().keys.lower_bound(path + u"\\");
    if (below != M().keys.end() && below->first.compare(0, path.size() + 1, path + u"\\") == 0)
        return ERROR_ACCESS_DENIED;
    M().keys.erase(it);
    Changed(path);
    return ERROR_SUCCESS;
}

// The whole hive of the key is written out, as documented.
LSTATUS RegFlushKey(HKEY key) {
    if (Enter("RegFlushKey"))
        return static_cast<LSTATUS>(GetLastError());
    DWORD access = 0;
    Text path = KeyPath(key, &access);
    if (path.empty())
        return ERROR_INVALID_HANDLE;
    if (!(access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    Text hive = Upper(path.substr(0, 4));
    for (auto it = M().unflushed.begin(); it != M().unflushed.end();)
        it = it->compare(0, 4, hive) == 0 ? M().unflushed.erase(it) : std::next(it);
    return ERROR_SUCCESS;
}
