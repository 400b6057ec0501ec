#include "tray/tray_control.h"

#include "common/text.h"
#include "run/install_context.h"
#include "run/install_log.h"

#include <cstring>

namespace {

const char RunKeyPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const WCHAR RunValue[] = W("KestrovaneTray");
const char RunValueAnsi[] = "KestrovaneTray";

const int StopPasses = 20;
const DWORD QuitWait = 5000;
const DWORD WindowPoll = 250;
const DWORD MissingValuePause = 1000;
const int DeleteAttempts = 10;
const DWORD AccessDeniedPause = 100;
const DWORD OtherErrorPause = 10;
const size_t CommandPathLimit = 259; // units of the path on the command line

bool IsSeparator(WCHAR c) {
    return c == '\\' || c == '/';
}

bool EndsInSeparator(const WideString& s) {
    uint64_t n = Length(s);
    return n > 0 && IsSeparator(Text(s)[n - 1]);
}

bool NewEnoughWindows() {
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    return GetVersionExA(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT &&
           info.dwMajorVersion >= 6;
}

// The Run value holds the path in quotes: unquoted, a path with blanks would
// let the system start "C:\Program.exe" at logon instead.
void WriteRunValue(const WideString& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RunKeyPath, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    WideString quoted;
    if (Append(quoted, W("\"")) && Append(quoted, Text(path)) && Append(quoted, W("\""))) {
        DWORD bytes = static_cast<DWORD>((Length(quoted) + 1) * sizeof(WCHAR));
        RegSetValueExW(key, RunValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(Text(quoted)),
                       bytes);
    }
    Release(quoted);
    RegCloseKey(key);
}

// A path too long for the command line is not started now (the Run value has
// it whole for the next logon): cut, it would name another file.
void Launch(const WideString& path) {
    WCHAR commandLine[CommandPathLimit + 3];
    uint64_t n = Length(path);
    if (n > CommandPathLimit)
        return;
    commandLine[0] = '"';
    std::memcpy(commandLine + 1, Text(path), static_cast<size_t>(n) * sizeof(WCHAR));
    commandLine[n + 1] = '"';
    commandLine[n + 2] = 0;
    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof process);
    if (CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                       nullptr, nullptr, &startup, &process)) {
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
}

// Asks the tray program to end and waits until it let go of the mutex, within
// a bounded number of passes.
void WaitForTrayEnd(HANDLE mutex) {
    bool windowSeen = false;
    for (int pass = 0; pass < StopPasses; ++pass) {
        HWND window = FindWindowW(TrayWindowClass, nullptr);
        if (window) {
            windowSeen = true;
            PostMessageW(window, TrayQuitMessage, 0, 0);
            if (WaitForSingleObject(mutex, QuitWait) == WAIT_OBJECT_0)
                return;
        } else if (windowSeen) {
            WaitForSingleObject(mutex, QuitWait);
            return;
        } else {
            Sleep(WindowPoll);
        }
    }
    if (windowSeen)
        WaitForSingleObject(mutex, QuitWait);
}

void DeleteTrayFile(const WCHAR* path) {
    for (int attempt = 0; attempt < DeleteAttempts; ++attempt) {
        if (DeleteFileW(path))
            return;
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return;
        Sleep(error == ERROR_ACCESS_DENIED ? AccessDeniedPause : OtherErrorPause);
    }
}

// Whether the file to be deleted may be the one to keep, as Windows compares
// paths: letter case aside, a short (8.3) name the same as its long one.
// When that cannot be told, it may: a file that is really gone needs no
// deletion, and the product's only copy is worth more than a leftover.
bool MayBeKept(const WCHAR* file, const WCHAR* keep) {
    if (!keep[0] || TextEqualNoCase(file, keep))
        return true;
    WCHAR longFile[MAX_PATH + 1];
    WCHAR longKeep[MAX_PATH + 1];
    DWORD a = GetLongPathNameW(file, longFile, MAX_PATH + 1);
    if (a == 0 || a > MAX_PATH)
        return true;
    DWORD b = GetLongPathNameW(keep, longKeep, MAX_PATH + 1);
    return b == 0 || b > MAX_PATH || TextEqualNoCase(longFile, longKeep);
}

// Deletes the file the Run value names. Earlier builds wrote the path without
// quotes, so one pair of surrounding quotes is optional.
void DeleteRegisteredFile(HKEY runKey, const WCHAR* keepPath) {
    // Room for a path of MAX_PATH units in its quotes, and for a terminator.
    WCHAR path[MAX_PATH + 3];
    path[0] = 0;
    DWORD size = (MAX_PATH + 2) * sizeof(WCHAR);
    if (RegQueryValueExW(runKey, RunValue, nullptr, nullptr, reinterpret_cast<LPBYTE>(path),
                         &size) != ERROR_SUCCESS) {
        Sleep(MissingValuePause);
        return;
    }
    path[size / sizeof(WCHAR)] = 0; // a value stored without its terminator ends here
    WCHAR* file = path;
    size_t n = TextLength(path);
    if (n >= 2 && path[0] == '"' && path[n - 1] == '"') {
        path[n - 1] = 0;
        file = path + 1;
    }
    if (!file[0] || (keepPath && MayBeKept(file, keepPath)))
        return;
    DeleteTrayFile(file);
}

} // namespace

WideString TrayPath(const WideString& moduleDir) {
    WideString dir = Copy(moduleDir);
    if (EndsInSeparator(dir) && !SetLength(dir, Length(dir) - 1))
        Release(dir);
    WideString path = DirectoryPart(dir);
    Release(dir);
    WideString name = FromAnsi(TrayFileName);
    bool built = Length(path) > 0 && Length(name) > 0 &&
                 (EndsInSeparator(path) || Append(path, W("\\"))) && Append(path, Text(name));
    Release(name);
    if (!built)
        Release(path);
    return path;
}

WideString ShippedTrayPath(const WideString& moduleDir) {
    WideString path;
    if (Length(moduleDir) > 0)
        path = TrayPath(moduleDir);
    // Only a full path that ends in a separator and the file name is one:
    // a path cut short by a failed allocation names another file.
    WideString name = FromAnsi(TrayFileName);
    uint64_t n = Length(path);
    uint64_t k = Length(name);
    const WCHAR* text = Text(path);
    bool whole = k > 0 && n > k + 2 && text[1] == ':' && IsSeparator(text[2]) &&
                 IsSeparator(text[n - k - 1]) && TextEqualNoCase(text + (n - k), Text(name));
    Release(name);
    if (!whole)
        Release(path);
    return path;
}

void RegisterTray(InstallContext& context) {
    if (!context.StartTray || !NewEnoughWindows())
        return;
    WideString path = TrayPath(context.ModuleDir);
    if (Length(path) > 0) {
        // Registering a file that is not there would fail only at the next logon.
        DWORD attributes = GetFileAttributesW(Text(path));
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            DWORD code =
                attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_FILE_NOT_FOUND;
            LogError(context, ErrOpenSource, code, Text(path));
        } else {
            WriteRunValue(path);
            Launch(path);
        }
    }
    Release(path);
}

void StopTray(const WCHAR* keepPath) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, TrayMutexName);
    if (mutex && GetLastError() == ERROR_ALREADY_EXISTS)
        WaitForTrayEnd(mutex);
    if (mutex)
        CloseHandle(mutex);
    HKEY runKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RunKeyPath, 0, KEY_ALL_ACCESS, &runKey) != ERROR_SUCCESS)
        return;
    if (mutex)
        DeleteRegisteredFile(runKey, keepPath);
    RegDeleteValueA(runKey, RunValueAnsi);
    RegCloseKey(runKey);
}

void StopTrayKeepingShipped(const WideString& moduleDir) {
    WideString keep = ShippedTrayPath(moduleDir);
    StopTray(Length(keep) > 0 ? Text(keep) : W(""));
    Release(keep);
}
