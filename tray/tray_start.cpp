#include "tray/tray_start.h"

#include "run/run_account.h"

#include <cstring>

namespace {

const size_t CommandPathLimit = 259; // units of the path on the command line
const DWORD StartTokenAccess = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY;
const WCHAR UserDesktop[] = W("winsta0\\default");

struct CommandLine {
    WCHAR text[CommandPathLimit + 3];
};

// The quoted path; false when it does not fit (cut, it would name another file).
bool BuildCommandLine(const WideString& path, CommandLine& line) {
    uint64_t n = Length(path);
    if (n == 0 || n > CommandPathLimit)
        return false;
    line.text[0] = '"';
    std::memcpy(line.text + 1, Text(path), static_cast<size_t>(n) * sizeof(WCHAR));
    line.text[n + 1] = '"';
    line.text[n + 2] = 0;
    return true;
}

STARTUPINFOW TrayStartup() {
    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    return startup;
}

// The started process is not waited for.
void Let(BOOL started, PROCESS_INFORMATION& process) {
    if (!started)
        return;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
}

HANDLE PrimaryCopy(HANDLE token) {
    HANDLE copy = nullptr;
    if (!DuplicateTokenEx(token, StartTokenAccess, nullptr, SecurityImpersonation, TokenPrimary,
                          &copy))
        return nullptr;
    return copy;
}

// A primary token for a program that must not run elevated: a copy of
// `token`, or of its linked half when `token` is the elevated half of a
// split token. Null when there is none: Windows gives the linked half as a
// usable token only to LocalSystem. The caller closes what it gets.
HANDLE UnelevatedToken(HANDLE token) {
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD bytes = 0;
    if (!GetTokenInformation(token, TokenElevationType, &type, sizeof type, &bytes))
        return nullptr;
    if (type != TokenElevationTypeFull)
        return PrimaryCopy(token);
    TOKEN_LINKED_TOKEN linked = {nullptr};
    if (!GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &bytes))
        return nullptr;
    HANDLE primary = PrimaryCopy(linked.LinkedToken);
    CloseHandle(linked.LinkedToken);
    return primary;
}

// A service's run: in each active session, as its user, on the user's desktop.
void StartInSession(const WideString& path, DWORD session) {
    HANDLE user = nullptr;
    if (!WTSQueryUserToken(session, &user))
        return; // nobody logged on there after all
    HANDLE token = UnelevatedToken(user);
    CloseHandle(user);
    LPVOID environment = nullptr;
    CommandLine line;
    if (token && BuildCommandLine(path, line) &&
        CreateEnvironmentBlock(&environment, token, FALSE)) {
        STARTUPINFOW startup = TrayStartup();
        startup.lpDesktop = const_cast<LPWSTR>(UserDesktop);
        PROCESS_INFORMATION process = {};
        Let(CreateProcessAsUserW(token, nullptr, line.text, nullptr, nullptr, FALSE,
                                 NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT, environment,
                                 nullptr, &startup, &process),
            process);
        DestroyEnvironmentBlock(environment);
    }
    if (token)
        CloseHandle(token);
}

void StartInUserSessions(const WideString& path) {
    WTS_SESSION_INFOW* sessions = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count))
        return;
    for (DWORD i = 0; i < count; ++i)
        if (sessions[i].State == WTSActive && sessions[i].SessionId != 0)
            StartInSession(path, sessions[i].SessionId);
    WTSFreeMemory(sessions);
}

// The shell's token: the session's user as the desktop runs, unelevated.
HANDLE ShellToken() {
    HWND shell = GetShellWindow();
    DWORD id = 0;
    if (!shell || !GetWindowThreadProcessId(shell, &id) || id == 0)
        return nullptr;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (!process)
        return nullptr;
    HANDLE token = nullptr;
    BOOL opened = OpenProcessToken(process, TOKEN_QUERY | TOKEN_DUPLICATE, &token);
    CloseHandle(process);
    if (!opened)
        return nullptr;
    HANDLE unelevated = UnelevatedToken(token);
    CloseHandle(token);
    return unelevated;
}

bool StartWithShellToken(const WideString& path) {
    HANDLE token = ShellToken();
    CommandLine line;
    bool started = false;
    if (token && BuildCommandLine(path, line)) {
        STARTUPINFOW startup = TrayStartup();
        PROCESS_INFORMATION process = {};
        started = CreateProcessWithTokenW(token, 0, nullptr, line.text, NORMAL_PRIORITY_CLASS,
                                          nullptr, nullptr, &startup, &process) != FALSE;
        Let(started, process);
    }
    if (token)
        CloseHandle(token);
    return started;
}

// Without a shell (Wine has none) the linked half of our own token, where
// the system hands it out as a usable token.
void StartWithLinkedToken(const WideString& path) {
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &own))
        return;
    HANDLE token = UnelevatedToken(own);
    CloseHandle(own);
    CommandLine line;
    if (token && BuildCommandLine(path, line)) {
        STARTUPINFOW startup = TrayStartup();
        PROCESS_INFORMATION process = {};
        Let(CreateProcessAsUserW(token, nullptr, line.text, nullptr, nullptr, FALSE,
                                 NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &process),
            process);
    }
    if (token)
        CloseHandle(token);
}

void StartAsInstaller(const WideString& path) {
    CommandLine line;
    if (!BuildCommandLine(path, line))
        return;
    STARTUPINFOW startup = TrayStartup();
    PROCESS_INFORMATION process = {};
    Let(CreateProcessW(nullptr, line.text, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                       nullptr, &startup, &process),
        process);
}

} // namespace

void StartTray(const WideString& path) {
    CommandLine line;
    if (!BuildCommandLine(path, line))
        return;
    RunAccount account = ReadRunAccount();
    if (!account.known)
        return; // who would it run as? the next logon starts it as the user
    if (RunsAsService(account))
        StartInUserSessions(path);
    else if (!account.splitElevated)
        StartAsInstaller(path);
    else if (!StartWithShellToken(path))
        StartWithLinkedToken(path);
}
