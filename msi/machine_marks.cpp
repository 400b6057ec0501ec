// What the machine says: whether the Kestrovane printer is set up, read where
// the spooler and the installer register it, and the mark of a restart that
// an installer run left to do.
#include "msi/ksvmsi.h"

namespace {

const WCHAR MonitorKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Kestrovane:";
const WCHAR DriverKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Environments\\"
                          L"Windows x64\\Drivers\\Version-3\\Kestrovane printer";
const WCHAR RunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const WCHAR TrayValue[] = L"KestrovaneTray";
// A volatile key: it lasts exactly until the restart it stands for.
const WCHAR RestartKey[] = L"SOFTWARE\\Kestrovane restart";

// ERROR_SUCCESS, ERROR_FILE_NOT_FOUND or why the key could not be read.
LONG OpenKey(const WCHAR* path, HKEY* key) {
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WOW64_64KEY, key);
}

// Anything but a clear "not there" counts as there: what cannot be read is
// never taken for a clean machine.
bool KeyThere(const WCHAR* path) {
    HKEY key = nullptr;
    LONG result = OpenKey(path, &key);
    if (result == ERROR_SUCCESS)
        RegCloseKey(key);
    return result != ERROR_FILE_NOT_FOUND;
}

bool ValueThere(const WCHAR* path, const WCHAR* name) {
    HKEY key = nullptr;
    LONG result = OpenKey(path, &key);
    if (result != ERROR_SUCCESS)
        return result != ERROR_FILE_NOT_FOUND;
    result = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return result != ERROR_FILE_NOT_FOUND;
}

} // namespace

bool OurSetupPresent() {
    return KeyThere(MonitorKey) || KeyThere(DriverKey) || ValueThere(RunKey, TrayValue);
}

void MarkRestartNeeded() {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, RestartKey, 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr) == ERROR_SUCCESS)
        RegCloseKey(key);
}

bool TakeRestartMark() {
    HKEY key = nullptr;
    if (OpenKey(RestartKey, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    // Left in place when this account may not delete it: the restart is
    // still due, and the next run says so too.
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, RestartKey, KEY_WOW64_64KEY, 0);
    return true;
}
