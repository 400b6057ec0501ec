// Accounts and sessions: access tokens and what they may do, the Terminal
// Services calls, process snapshots, another process's image and session,
// and the events other programs wait on.
#include "machine.h"
#include "sim_win32.h"

#include <cstring>
#include <string>
#include <vector>

using namespace sim;

namespace sim {

const Text SystemSid = u"S-1-5-18";
const Text UserSid = u"S-1-5-21-1-2-3-1001";

Token SystemToken() {
    return Token{SystemSid, 0, true, true, false};
}

bool InAdministrators(const Token& token) {
    return token.sid == SystemSid || (token.elevated && token.admin);
}

Token ElevatedToken(const Text& sid, DWORD session) {
    return Token{sid, session, true, true, true};
}

Token LimitedToken(const Text& sid, DWORD session) {
    return Token{sid, session, false, false, true};
}

Text ObjectKey(const Text& name, DWORD session) {
    if (name.compare(0, 7, u"Global\\") == 0)
        return name;
    Text local = name.compare(0, 6, u"Local\\") == 0 ? name.substr(6) : name;
    if (session == 0)
        return u"Global\\" + local;
    if (session == 1)
        return local;
    return u"Session\\" + Widen(std::to_string(session)) + u"\\" + local;
}

} // namespace sim

namespace {

const HANDLE CurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

bool IsSystem(const Token& t) {
    return t.sid == SystemSid;
}

HANDLE NewToken(const Token& token, DWORD access, DWORD level) {
    HANDLE h = NewHandle(HandleKind::Token, token.sid, access);
    Handle& handle = M().handles[reinterpret_cast<uintptr_t>(h)];
    handle.token = token;
    handle.tokenLevel = level;
    return h;
}

Handle* TokenWith(HANDLE h, DWORD access) {
    Handle* handle = FindHandle(h, HandleKind::Token);
    if (!handle) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((handle->access & access) != access) {
        SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return handle;
}

TOKEN_ELEVATION_TYPE ElevationType(const Token& t) {
    if (!t.linked)
        return TokenElevationTypeDefault;
    return t.elevated ? TokenElevationTypeFull : TokenElevationTypeLimited;
}

bool Fits(DWORD need, DWORD length, LPVOID info, PDWORD returned) {
    if (returned)
        *returned = need;
    if (!info || length < need) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    return true;
}

Session* FindSession(DWORD id) {
    for (Session& s : M().sessions)
        if (s.id == id)
            return &s;
    return nullptr;
}

Text FileNamePart(const Text& path) {
    size_t cut = path.find_last_of(u"\\/");
    return cut == Text::npos ? path : path.substr(cut + 1);
}

} // namespace

HANDLE GetCurrentProcess() {
    return CurrentProcess;
}

BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
    if (Enter("OpenProcessToken"))
        return FALSE;
    if (!token) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const Token* of = nullptr;
    if (process == CurrentProcess) {
        of = &M().token;
    } else if (Handle* h = FindHandle(process, HandleKind::Process)) {
        Process* p = FindProcess(static_cast<DWORD>(h->owner));
        of = p ? &p->token : nullptr;
    }
    if (!of) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *token = NewToken(*of, access, 0);
    return TRUE;
}

// The linked half of a split token: a primary token for a caller that holds
// SeTcbPrivilege (LocalSystem), else an identification-level impersonation
// token, which can be looked at but not used to start a program.
BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS type, LPVOID info, DWORD length,
                         PDWORD returned) {
    if (Enter("GetTokenInformation"))
        return FALSE;
    Handle* h = TokenWith(token, TOKEN_QUERY);
    if (!h)
        return FALSE;
    const Token t = h->token;
    switch (type) {
    case TokenSessionId:
        if (!Fits(sizeof(DWORD), length, info, returned))
            return FALSE;
        *static_cast<DWORD*>(info) = t.sessionId;
        return TRUE;
    case TokenElevationType:
        if (!Fits(sizeof(TOKEN_ELEVATION_TYPE), length, info, returned))
            return FALSE;
        *static_cast<TOKEN_ELEVATION_TYPE*>(info) = ElevationType(t);
        return TRUE;
    case TokenLinkedToken: {
        if (!Fits(sizeof(TOKEN_LINKED_TOKEN), length, info, returned))
            return FALSE;
        if (!t.linked) {
            SetError(ERROR_NO_SUCH_LOGON_SESSION);
            return FALSE;
        }
        Token other = t;
        other.elevated = !t.elevated;
        other.admin = !t.admin;
        DWORD level = IsSystem(M().token) ? 0 : static_cast<DWORD>(SecurityIdentification);
        static_cast<TOKEN_LINKED_TOKEN*>(info)->LinkedToken =
            NewToken(other, TOKEN_ALL_ACCESS, level);
        return TRUE;
    }
    case TokenUser:
    case TokenOwner: {
        std::vector<uint8_t> sid = SidBytes(type == TokenUser ? t.sid : DefaultOwner(t));
        DWORD head = type == TokenUser ? sizeof(TOKEN_USER) : sizeof(TOKEN_OWNER);
        if (!Fits(head + static_cast<DWORD>(sid.size()), length, info, returned))
            return FALSE;
        uint8_t* block = static_cast<uint8_t*>(info);
        std::memset(block, 0, head);
        std::memcpy(block + head, sid.data(), sid.size());
        PSID where = block + head;
        std::memcpy(block, &where, sizeof where); // User.Sid or Owner: the first field
        return TRUE;
    }
    default:
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
}

// A primary token cannot be made of one the caller may only look at.
BOOL DuplicateTokenEx(HANDLE existing, DWORD access, LPSECURITY_ATTRIBUTES,
                      SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type, PHANDLE copy) {
    if (Enter("DuplicateTokenEx"))
        return FALSE;
    Handle* h = TokenWith(existing, TOKEN_DUPLICATE);
    if (!h)
        return FALSE;
    if (!copy) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD from = h->tokenLevel;
    if (from != 0 && from < static_cast<DWORD>(SecurityImpersonation) &&
        (type == TokenPrimary || static_cast<DWORD>(level) > from)) {
        SetError(ERROR_BAD_IMPERSONATION_LEVEL);
        return FALSE;
    }
    DWORD granted = access == 0 || (access & MAXIMUM_ALLOWED) ? h->access : access;
    *copy = NewToken(h->token, granted, type == TokenPrimary ? 0 : static_cast<DWORD>(level));
    return TRUE;
}

BOOL WTSEnumerateSessionsW(HANDLE server, DWORD reserved, DWORD version,
                           PWTS_SESSION_INFOW* sessions, LPDWORD count) {
    if (Enter("WTSEnumerateSessionsW"))
        return FALSE;
    if (server != WTS_CURRENT_SERVER_HANDLE || reserved != 0 || version != 1 || !sessions ||
        !count) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // One block: the records, then their station names.
    const std::vector<Session>& all = M().sessions;
    size_t bytes = all.size() * sizeof(WTS_SESSION_INFOW) + all.size() * 16 * sizeof(WCHAR);
    auto* records = static_cast<WTS_SESSION_INFOW*>(SystemBlock(bytes));
    WCHAR* names = reinterpret_cast<WCHAR*>(records + all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        Text name = all[i].id == 0 ? Text(u"Services") : u"Console";
        std::memcpy(names + 16 * i, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
        records[i] = {all[i].id, names + 16 * i, static_cast<WTS_CONNECTSTATE_CLASS>(all[i].state)};
    }
    *sessions = records;
    *count = static_cast<DWORD>(all.size());
    return TRUE;
}

void WTSFreeMemory(PVOID memory) {
    Enter("WTSFreeMemory");
    if (memory)
        FreeSystemBlock(memory);
}

BOOL WTSQueryUserToken(ULONG sessionId, PHANDLE token) {
    if (Enter("WTSQueryUserToken"))
        return FALSE;
    if (!token) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!IsSystem(M().token)) {
        SetError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    Session* s = FindSession(sessionId);
    if (!s) {
        SetError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (s->user.sid.empty()) {
        SetError(ERROR_NO_TOKEN);
        return FALSE;
    }
    *token = NewToken(s->user, TOKEN_ALL_ACCESS, 0);
    return TRUE;
}

BOOL CreateEnvironmentBlock(LPVOID* environment, HANDLE token, BOOL) {
    if (Enter("CreateEnvironmentBlock"))
        return FALSE;
    if (!environment || (token && !TokenWith(token, TOKEN_QUERY))) {
        if (!environment)
            SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *environment = SystemBlock(64);
    return TRUE;
}

BOOL DestroyEnvironmentBlock(LPVOID environment) {
    Enter("DestroyEnvironmentBlock");
    return environment && FreeSystemBlock(environment);
}

// The processes running when it is taken, the shell among them.
HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD) {
    if (Enter("CreateToolhelp32Snapshot"))
        return INVALID_HANDLE_VALUE;
    if (!(flags & TH32CS_SNAPPROCESS)) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    AdvanceClock(0);
    HANDLE h = NewHandle(HandleKind::Snapshot, Text());
    Handle& snapshot = M().handles[reinterpret_cast<uintptr_t>(h)];
    if (M().shell.running)
        snapshot.listed.push_back(M().shell.id);
    for (const Process& p : M().processes)
        if (p.running)
            snapshot.listed.push_back(p.id);
    return h;
}

namespace {

BOOL NextProcess(HANDLE snapshot, PROCESSENTRY32W* entry, bool first) {
    Handle* h = FindHandle(snapshot, HandleKind::Snapshot);
    if (!h) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!entry || entry->dwSize != sizeof(PROCESSENTRY32W)) {
        SetError(ERROR_BAD_LENGTH);
        return FALSE;
    }
    if (first)
        h->pos = 0;
    if (h->pos >= h->listed.size()) {
        SetError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    const Process* p = FindProcess(h->listed[h->pos++]);
    Text name = p ? FileNamePart(p->image).substr(0, MAX_PATH - 1) : Text();
    std::memset(entry, 0, sizeof *entry);
    entry->dwSize = sizeof *entry;
    entry->th32ProcessID = p ? p->id : 0;
    entry->cntThreads = 1;
    std::memcpy(entry->szExeFile, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

} // namespace

BOOL Process32FirstW(HANDLE snapshot, PROCESSENTRY32W* entry) {
    if (Enter("Process32FirstW"))
        return FALSE;
    return NextProcess(snapshot, entry, true);
}

BOOL Process32NextW(HANDLE snapshot, PROCESSENTRY32W* entry) {
    if (Enter("Process32NextW"))
        return FALSE;
    return NextProcess(snapshot, entry, false);
}

// Sizes in characters: in, the buffer's; out, the path's without its terminator.
BOOL QueryFullProcessImageNameW(HANDLE process, DWORD flags, LPWSTR name, PDWORD size) {
    if (Enter("QueryFullProcessImageNameW"))
        return FALSE;
    Handle* h = FindHandle(process, HandleKind::Process);
    if (!h) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(h->access & (PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_QUERY_INFORMATION))) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (flags != 0 || !name || !size) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const Process* p = FindProcess(static_cast<DWORD>(h->owner));
    Text image = p ? p->image : h->name; // the image the handle was opened on
    if (*size < image.size() + 1) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(name, image.c_str(), (image.size() + 1) * sizeof(WCHAR));
    *size = static_cast<DWORD>(image.size());
    return TRUE;
}

BOOL ProcessIdToSessionId(DWORD processId, DWORD* sessionId) {
    if (Enter("ProcessIdToSessionId"))
        return FALSE;
    AdvanceClock(0);
    const Process* p = FindProcess(processId);
    if (!sessionId || !p || !p->running) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *sessionId = p->token.sessionId;
    return TRUE;
}

// Only the events programs create for others to signal are modelled.
HANDLE OpenEventW(DWORD access, BOOL, LPCWSTR name) {
    if (Enter("OpenEventW"))
        return nullptr;
    AdvanceClock(0);
    Text key = ObjectKey(name ? Text(name) : Text(), M().token.sessionId);
    for (const Process& p : M().processes) {
        if (!p.running || p.script.quitEvent.empty())
            continue;
        Text own = p.script.quitEvent + Widen(std::to_string(p.id));
        if (ObjectKey(own, p.token.sessionId) != key)
            continue;
        HANDLE h = NewHandle(HandleKind::Event, key, access);
        M().handles[reinterpret_cast<uintptr_t>(h)].owner = static_cast<int>(p.id);
        return h;
    }
    SetError(ERROR_FILE_NOT_FOUND);
    return nullptr;
}

BOOL SetEvent(HANDLE event) {
    if (Enter("SetEvent"))
        return FALSE;
    Handle* h = FindHandle(event, HandleKind::Event);
    if (!h) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(h->access & EVENT_MODIFY_STATE)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    QuitRequested(static_cast<DWORD>(h->owner), nullptr);
    return TRUE;
}

namespace {

// The token a new process may be given: a primary one with the rights asked for.
Handle* StartingToken(HANDLE token) {
    Handle* h = TokenWith(token, TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY);
    if (h && h->tokenLevel != 0) {
        SetError(ERROR_BAD_TOKEN_TYPE);
        return nullptr;
    }
    return h;
}

} // namespace

// Documented: the process runs in the caller's session, whatever the token says.
BOOL CreateProcessWithTokenW(HANDLE token, DWORD, LPCWSTR application, LPWSTR commandLine,
                             DWORD flags, LPVOID environment, LPCWSTR directory,
                             LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
    if (Enter("CreateProcessWithTokenW"))
        return FALSE;
    if (!InAdministrators(M().token)) { // SeImpersonatePrivilege
        SetError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    Handle* h = StartingToken(token);
    if (!h)
        return FALSE;
    Token as = h->token;
    as.sessionId = M().token.sessionId;
    return StartProgram(application, commandLine, FALSE, flags, environment, directory, startup,
                        info, as);
}

// The process runs in the token's session. A token that is not the caller's
// own needs SeAssignPrimaryTokenPrivilege, which only LocalSystem holds here.
BOOL CreateProcessAsUserW(HANDLE token, LPCWSTR application, LPWSTR commandLine,
                          LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL inherit, DWORD flags,
                          LPVOID environment, LPCWSTR directory, LPSTARTUPINFOW startup,
                          LPPROCESS_INFORMATION info) {
    if (Enter("CreateProcessAsUserW"))
        return FALSE;
    Handle* h = StartingToken(token);
    if (!h)
        return FALSE;
    const Token& own = M().token;
    const Token& as = h->token;
    bool same = as.sid == own.sid && as.elevated == own.elevated && as.sessionId == own.sessionId;
    if (!same && !IsSystem(own)) {
        SetError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    return StartProgram(application, commandLine, inherit, flags, environment, directory, startup,
                        info, as);
}
