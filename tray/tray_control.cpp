#include "tray/tray_control.h"

#include "common/text.h"
#include "run/install_context.h"
#include "run/install_log.h"
#include "run/run_account.h"
#include "tray/tray_processes.h"
#include "tray/tray_start.h"

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
const DWORD FinalPathCapacity = 1024;
const DWORD NoSession = 0xFFFFFFFF;

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

// The tray program of ours in the installer's own session is asked through
// its window and awaited on the mutex, in a bounded number of passes. Only a
// window of one of `trays` is posted to: another program that took the
// class (and the mutex) is neither asked nor waited for.
void WaitForTrayEnd(HANDLE mutex, const TrayProcesses& trays) {
    bool windowSeen = false;
    for (int pass = 0; pass < StopPasses; ++pass) {
        HWND window = FindOurTrayWindow(trays);
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

// Every tray program of ours ends: those of other sessions through their
// event, the one in this session as the protocol says, all at the same time.
void EndOurTrays(const WCHAR* ourTray) {
    TrayProcesses trays;
    FindOurTrays(ourTray, trays);
    RunAccount account = ReadRunAccount();
    DWORD own = account.known ? account.session : NoSession;
    DWORD since = AskTraysElsewhere(trays, own);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, TrayMutexName);
    if (mutex && GetLastError() == ERROR_ALREADY_EXISTS && AnyTrayIn(trays, own))
        WaitForTrayEnd(mutex, trays);
    if (mutex)
        CloseHandle(mutex);
    WaitForAskedTrays(trays, since, QuitWait);
    CloseTrays(trays);
}

// The Win32 path a final path stands for: "\\?\C:\..." is "C:\...",
// "\\?\UNC\server\..." is "\\server\...".
const WCHAR* Win32Form(WCHAR* path) {
    if (TextStartsNoCase(path, W("\\\\?\\UNC\\"))) {
        path[6] = '\\';
        return path + 6;
    }
    return TextStartsNoCase(path, W("\\\\?\\")) ? path + 4 : path;
}

// Whether the open file is the one at `path` itself, not a directory and not
// reached through a link on the way (a link followed despite being asked
// not to, as Wine does with its host's links, ends elsewhere too).
PathMatch FileAt(HANDLE file, const WCHAR* path) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info))
        return PathMatch::Unknown;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return PathMatch::Different;
    WCHAR final[FinalPathCapacity];
    DWORD n = GetFinalPathNameByHandleW(file, final, FinalPathCapacity,
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= FinalPathCapacity)
        return PathMatch::Unknown;
    return ComparePaths(Win32Form(final), path);
}

enum class Deletion { Done, Gone, NotOurs, Failed };

// One attempt, through a handle to the file itself (a link named so goes,
// not what it points to), checked to be the file at `path`.
Deletion DeleteOnce(const WCHAR* path, DWORD& error) {
    HANDLE file = CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? Deletion::Gone : Deletion::Failed;
    }
    PathMatch at = FileAt(file, path);
    Deletion outcome = at == PathMatch::Different ? Deletion::NotOurs : Deletion::Failed;
    if (at == PathMatch::Same) {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        if (SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition))
            outcome = Deletion::Done;
    }
    error = GetLastError();
    CloseHandle(file);
    return outcome;
}

// At most DeleteAttempts tries, with the protocol's pauses. Returns whether
// the file is still there.
bool DeleteOurTray(const WCHAR* path, InstallContext* context) {
    for (int attempt = 0; attempt < DeleteAttempts; ++attempt) {
        DWORD error = 0;
        Deletion outcome = DeleteOnce(path, error);
        if (outcome == Deletion::Done || outcome == Deletion::Gone)
            return false;
        if (outcome == Deletion::NotOurs) {
            if (context)
                LogLine(*context, W("%s is not our tray program's file: not deleted"), path);
            return false;
        }
        Sleep(error == ERROR_ACCESS_DENIED ? AccessDeniedPause : OtherErrorPause);
    }
    return true;
}

// The file the Run value names is ours only when it is `ourTray` (compared
// as paths); another one is left alone, and the run's log says so. Earlier
// builds wrote the path without quotes, so one pair of quotes is optional.
void CheckRegisteredFile(HKEY runKey, const WCHAR* ourTray, InstallContext* context) {
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
    // A file that may be ours but cannot be told so is passed over silently.
    PathMatch match = ourTray && ourTray[0] ? ComparePaths(file, ourTray) : PathMatch::Different;
    if (file[0] && match == PathMatch::Different && context)
        LogLine(*context, W("KestrovaneTray named %s, not our tray program: left in place"), file);
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
            StartTray(path);
        }
    }
    Release(path);
}

bool StopTray(const WCHAR* ourTray, TrayFile fate, InstallContext* context) {
    EndOurTrays(ourTray);
    HKEY runKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RunKeyPath, 0, KEY_ALL_ACCESS, &runKey) ==
        ERROR_SUCCESS) {
        CheckRegisteredFile(runKey, ourTray, context);
        RegDeleteValueA(runKey, RunValueAnsi);
        RegCloseKey(runKey);
    }
    // Our file goes whatever the value said: only the path the installer
    // knows is deleted, and a file another program holds waits for the restart.
    return fate == TrayFile::Delete && ourTray && ourTray[0] && DeleteOurTray(ourTray, context);
}

bool StopOurTray(const WideString& moduleDir, TrayFile fate, InstallContext* context) {
    WideString ours = ShippedTrayPath(moduleDir);
    bool left = StopTray(Text(ours), fate, context);
    Release(ours);
    return left;
}
