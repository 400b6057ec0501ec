#include "spooler/user_printers.h"

#include "common/text.h"
#include "run/install_context.h"
#include "run/install_log.h"
#include "run/run_account.h"
#include "spooler/printer_driver.h"
#include "spooler/printer_inventory.h"

#include <cstring>

namespace {

const WCHAR WindowsKey[] = W("Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows");
const WCHAR ConnectionsKey[] = W("Printers\\Connections");
const WCHAR DeviceValue[] = W("Device");
const DWORD NameCapacity = 256;   // units of a hive's or a connection key's name
const DWORD DeviceCapacity = 512; // units of a "Device" value
const DWORD KeyPathCapacity = NameCapacity + 64;
const DWORD MaxKeys = 1024; // subkeys looked at, whatever the registry answers

// A person's hive: a domain or local account's ("S-1-5-21-...") or an
// Azure AD one's ("S-1-12-1-..."); not its classes, not a service account.
bool IsPersonHive(const WCHAR* name) {
    const WCHAR classes[] = W("_Classes");
    size_t n = TextLength(name);
    size_t k = TextLength(classes);
    bool classesHive = n >= k && TextEqualNoCase(name + n - k, classes);
    return !classesHive &&
           (TextStartsNoCase(name, W("S-1-5-21-")) || TextStartsNoCase(name, W("S-1-12-1-")));
}

// Calls `visit` with the name of each subkey of `key`.
template <class Visit> void ForEachSubkey(HKEY key, Visit visit) {
    WCHAR name[NameCapacity];
    for (DWORD index = 0; index < MaxKeys; ++index) {
        DWORD size = NameCapacity;
        LSTATUS status = RegEnumKeyExW(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA)
            continue; // too long to be one we look for
        if (status != ERROR_SUCCESS)
            return;
        visit(name);
    }
}

template <class Visit> void ForEachUser(Visit visit) {
    ForEachSubkey(HKEY_USERS, [&visit](const WCHAR* hive) {
        if (IsPersonHive(hive))
            visit(hive);
    });
}

HKEY OpenUserKey(const WCHAR* sid, const WCHAR* subKey, REGSAM access) {
    WCHAR path[KeyPathCapacity];
    FormatText(path, KeyPathCapacity, W("%s\\%s"), sid, subKey);
    HKEY key = nullptr;
    return RegOpenKeyExW(HKEY_USERS, path, 0, access, &key) == ERROR_SUCCESS ? key : nullptr;
}

bool ReadDevice(const WCHAR* sid, WCHAR (&device)[DeviceCapacity]) {
    HKEY key = OpenUserKey(sid, WindowsKey, KEY_QUERY_VALUE);
    if (!key)
        return false;
    DWORD type = 0;
    DWORD size = (DeviceCapacity - 1) * sizeof(WCHAR);
    LSTATUS status =
        RegQueryValueExW(key, DeviceValue, nullptr, &type, reinterpret_cast<LPBYTE>(device), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ)
        return false;
    device[size / sizeof(WCHAR)] = 0; // stored without its terminator, it ends here
    return device[0] != 0;
}

bool WriteDevice(const WCHAR* sid, const WCHAR* device) {
    HKEY key = OpenUserKey(sid, WindowsKey, KEY_SET_VALUE);
    if (!key)
        return false;
    DWORD bytes = static_cast<DWORD>((TextLength(device) + 1) * sizeof(WCHAR));
    bool written = RegSetValueExW(key, DeviceValue, 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(device), bytes) == ERROR_SUCCESS;
    RegCloseKey(key);
    return written;
}

// The printer of a "Device" value: what comes before the first comma (a
// printer's name has none).
const WCHAR* PrinterOf(const WCHAR* device, WCHAR (&name)[DeviceCapacity]) {
    size_t i = 0;
    for (; device[i] && device[i] != ',' && i + 1 < DeviceCapacity; ++i)
        name[i] = device[i];
    name[i] = 0;
    return name;
}

bool IsOurQueue(const InstallContext& context, const WCHAR* name) {
    for (uint32_t i = 0; i < context.Inventory.count; ++i) {
        const PRINTER_INFO_2W& entry = context.Inventory.entries[i];
        if (!IsConnection(entry) && TextEqual(entry.pPrinterName, name) &&
            TextEqual(entry.pDriverName, OurDriverName))
            return true;
    }
    return false;
}

WCHAR* CopyText(const WCHAR* text) {
    size_t bytes = (TextLength(text) + 1) * sizeof(WCHAR);
    WCHAR* copy = static_cast<WCHAR*>(GlobalAlloc(GMEM_FIXED, bytes));
    if (copy)
        std::memcpy(copy, text, bytes);
    return copy;
}

// Without memory the user's default is not remembered, and stays as the
// reinstall leaves it.
void Remember(InstallContext& context, const WCHAR* sid, const WCHAR* device) {
    UserDefault* node = static_cast<UserDefault*>(GlobalAlloc(GPTR, sizeof(UserDefault)));
    if (!node)
        return;
    node->sid = CopyText(sid);
    node->device = CopyText(device);
    if (!node->sid || !node->device) {
        UserDefault* one = node;
        ReleaseUserDefaults(one);
        return;
    }
    node->next = context.UserDefaults;
    context.UserDefaults = node;
}

bool QueueExists(const WCHAR* name) {
    HANDLE printer = nullptr;
    if (!OpenPrinterW(const_cast<LPWSTR>(name), &printer, nullptr) || !printer)
        return false;
    ClosePrinter(printer);
    return true;
}

bool UsesOurDriver(const WCHAR* name) {
    HANDLE printer = nullptr;
    if (!OpenPrinterW(const_cast<LPWSTR>(name), &printer, nullptr) || !printer)
        return false;
    PrinterInfoBlock block = ReadPrinterInfo(printer);
    bool ours = block.info && TextEqual(block.info->pDriverName, OurDriverName);
    GlobalFree(block.info);
    ClosePrinter(printer);
    return ours;
}

// A connection's key is its name with the backslashes as commas: ",,srv,queue".
void NameConnectionsOf(InstallContext& context, const WCHAR* sid) {
    HKEY key = OpenUserKey(sid, ConnectionsKey, KEY_ENUMERATE_SUB_KEYS);
    if (!key)
        return;
    ForEachSubkey(key, [&context, sid](const WCHAR* keyName) {
        WCHAR name[NameCapacity];
        size_t i = 0;
        for (; keyName[i]; ++i)
            name[i] = keyName[i] == ',' ? '\\' : keyName[i];
        name[i] = 0;
        if (UsesOurDriver(name))
            LogLine(context, W("Connection %s of %s holds the printer driver"), name, sid);
    });
    RegCloseKey(key);
}

} // namespace

void RememberUserDefaults(InstallContext& context) {
    if (!RunsAsService(ReadRunAccount()))
        return;
    ForEachUser([&context](const WCHAR* sid) {
        WCHAR device[DeviceCapacity];
        WCHAR name[DeviceCapacity];
        if (ReadDevice(sid, device) && IsOurQueue(context, PrinterOf(device, name)))
            Remember(context, sid, device);
    });
}

void RestoreUserDefaults(InstallContext& context) {
    for (UserDefault* node = context.UserDefaults; node; node = node->next) {
        WCHAR name[DeviceCapacity];
        WCHAR current[DeviceCapacity];
        PrinterOf(node->device, name);
        if (!QueueExists(name) ||
            (ReadDevice(node->sid, current) && TextEqual(current, node->device)))
            continue;
        if (WriteDevice(node->sid, node->device))
            LogLine(context, W("Default printer of %s set again: %s"), node->sid, name);
    }
}

void NameUsersConnections(InstallContext& context) {
    if (!RunsAsService(ReadRunAccount()))
        return;
    ForEachUser([&context](const WCHAR* sid) { NameConnectionsOf(context, sid); });
}

void ReleaseUserDefaults(UserDefault*& list) {
    while (list) {
        UserDefault* next = list->next;
        GlobalFree(list->sid);
        GlobalFree(list->device);
        GlobalFree(list);
        list = next;
    }
}
