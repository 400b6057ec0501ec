// The log file of one ksvinstall.exe run: made where only SYSTEM and the
// administrators reach it, read back in pieces into the Windows Installer
// log, appended to the deployer's copy, deleted.
#include "msi/ksvmsi.h"

#include <aclapi.h>
#include <sddl.h>

namespace {

// Full control for SYSTEM and the Administrators group, nothing inherited:
// the action runs as SYSTEM, and no one else is to read or change the log.
const WCHAR AdminOnly[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";
// The same for the log's folder and what is made in it.
const WCHAR AdminOnlyFolder[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
const WCHAR LogName[] = L"\\ksvinstall.log";
// Lines of any length and logs of any size pass through this much memory.
const DWORD PieceBytes = 64 * 1024;
// Short lines go into the Windows Installer log a few at a time, one message
// each: a message costs far more than its length (2 ms and more under Wine).
const int BatchCharacters = 2048;

typedef DWORD(WINAPI* GetTempPath2Function)(DWORD, LPWSTR);

// GetTempPath2W gives SYSTEM a folder of its own (SystemTemp) where Windows
// has the call; older Windows and Wine have only the shared one.
DWORD TempFolder(WCHAR* dir, DWORD capacity) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC found = kernel ? GetProcAddress(kernel, "GetTempPath2W") : nullptr;
    if (found)
        return reinterpret_cast<GetTempPath2Function>(reinterpret_cast<void (*)()>(found))(capacity,
                                                                                           dir);
    return GetTempPathW(capacity, dir);
}

bool IsOwnAccount(PSID sid) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } buffer;
    DWORD size = 0;
    bool same = GetTokenInformation(token, TokenUser, &buffer, sizeof(buffer), &size) &&
                EqualSid(buffer.user.User.Sid, sid);
    CloseHandle(token);
    return same;
}

// An existing copy is appended to only when it is a plain file with one name
// that SYSTEM, the administrators or this account own: the action runs as
// SYSTEM, and a file someone else put there first, or a link to another
// file, would take the log where it does not belong.
bool PlainFileOfOurs(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info) || info.nNumberOfLinks != 1 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    bool trusted = IsWellKnownSid(owner, WinLocalSystemSid) ||
                   IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsOwnAccount(owner);
    LocalFree(descriptor);
    return trusted;
}

// The deployer's copy (KSVLOGFILE), opened for appending; `empty` tells
// whether it starts with this log's byte-order mark.
HANDLE OpenLogCopy(MSIHANDLE install, const WCHAR* path, bool* empty) {
    SECURITY_ATTRIBUTES security = {sizeof(security), nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            AdminOnly, SDDL_REVISION_1, &security.lpSecurityDescriptor, nullptr))
        return INVALID_HANDLE_VALUE;
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA | READ_CONTROL | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ, &security, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD error = GetLastError();
    LocalFree(security.lpSecurityDescriptor);
    if (file == INVALID_HANDLE_VALUE) {
        TellFormat(install, L"ksvmsi: no copy of the log in %s (%lu)", path, error);
        return file;
    }
    LARGE_INTEGER size = {};
    if ((error == ERROR_ALREADY_EXISTS && !PlainFileOfOurs(file)) || !GetFileSizeEx(file, &size)) {
        CloseHandle(file);
        TellFormat(install,
                   L"ksvmsi: no copy of the log in %s: it is a link, or another account's file",
                   path);
        return INVALID_HANDLE_VALUE;
    }
    *empty = size.QuadPart == 0;
    return file;
}

// Where the lines of one log go. Both buffers hold PieceBytes + 1
// characters: UTF-8 never takes fewer bytes than UTF-16 units.
struct LineSink {
    MSIHANDLE install;
    LogErrors* errors;
    WCHAR* wide;  // the line at hand
    WCHAR* batch; // lines not yet told, separated by CR LF
    int batched;
};

void Flush(LineSink& sink) {
    if (sink.batched == 0)
        return;
    Tell(sink.install, sink.batch);
    sink.batched = 0;
    sink.batch[0] = 0;
}

// A line joins the batch when it fits; a long one goes alone.
void Batch(LineSink& sink, const WCHAR* line, int length) {
    if (sink.batched > 0 && sink.batched + 2 + length > BatchCharacters)
        Flush(sink);
    if (sink.batched > 0) {
        lstrcpyW(sink.batch + sink.batched, L"\r\n");
        sink.batched += 2;
    }
    lstrcpyW(sink.batch + sink.batched, line);
    sink.batched += length;
    if (sink.batched >= BatchCharacters)
        Flush(sink);
}

bool IsErrorLine(const WCHAR* line) {
    while (*line == L' ')
        ++line;
    const WCHAR prefix[] = L"Error(";
    for (int i = 0; prefix[i]; ++i)
        if (line[i] != prefix[i])
            return false;
    return true;
}

// Keeps the installer's error lines for the error message, as many as fit.
void KeepError(LogErrors* errors, const WCHAR* line) {
    while (*line == L' ')
        ++line;
    int length = lstrlenW(line);
    int capacity = ARRAYSIZE(errors->text);
    int separator = errors->length > 0 ? 2 : 0;
    if (errors->length + separator + length >= capacity)
        return;
    if (separator)
        lstrcpyW(errors->text + errors->length, L"\r\n");
    lstrcpyW(errors->text + errors->length + separator, line);
    errors->length += separator + length;
}

void PutLine(LineSink& sink, const char* bytes, DWORD count) {
    if (count > 0 && bytes[count - 1] == '\r')
        --count;
    int length = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(count), sink.wide,
                                     static_cast<int>(PieceBytes));
    if (length < 0)
        length = 0;
    sink.wide[length] = 0;
    if (IsErrorLine(sink.wide))
        KeepError(sink.errors, sink.wide);
    Batch(sink, sink.wide, length);
}

void AppendCopy(HANDLE copy, const char* bytes, DWORD count) {
    DWORD written = 0;
    if (copy != INVALID_HANDLE_VALUE && count > 0)
        WriteFile(copy, bytes, count, &written, nullptr);
}

// Every line of the file into the sink, a piece at a time; a line longer
// than a piece goes in as several. Returns the number of bytes read.
DWORD PutLines(HANDLE file, LineSink& sink, char* bytes, HANDLE copy, bool copyEmpty) {
    DWORD used = 0, total = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, bytes + used, PieceBytes - used, &got, nullptr))
            got = 0;
        DWORD start = 0;
        bool bom = total == 0 && got >= 3 && bytes[0] == '\xEF' && bytes[1] == '\xBB' &&
                   bytes[2] == '\xBF';
        if (bom)
            start = 3;
        // A copy that holds an earlier log already gets no second mark.
        DWORD skip = bom && !copyEmpty ? 3 : 0;
        AppendCopy(copy, bytes + used + skip, got - skip);
        total += got;
        used += got;
        for (DWORD i = start; i < used; ++i)
            if (bytes[i] == '\n') {
                PutLine(sink, bytes + start, i - start);
                start = i + 1;
            }
        if (got == 0) {
            if (start < used)
                PutLine(sink, bytes + start, used - start);
            Flush(sink);
            return total;
        }
        if (start == 0 && used == PieceBytes) {
            PutLine(sink, bytes, used);
            used = 0;
            continue;
        }
        MoveMemory(bytes, bytes + start, used - start);
        used -= start;
    }
}

} // namespace

bool MakeLogFile(WCHAR* path, DWORD capacity) {
    WCHAR dir[MAX_PATH];
    DWORD length = TempFolder(dir, MAX_PATH);
    if (length == 0 || length > MAX_PATH - 64 || capacity < MAX_PATH)
        return false;
    SECURITY_ATTRIBUTES security = {sizeof(security), nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            AdminOnlyFolder, SDDL_REVISION_1, &security.lpSecurityDescriptor, nullptr))
        return false;
    // A folder of a name no one can foresee, made only if it is new (what
    // someone put there first is never taken for ours); the installer makes
    // its log in it, as a file of its own.
    LARGE_INTEGER counter = {};
    QueryPerformanceCounter(&counter);
    bool made = false;
    for (DWORD attempt = 0; attempt < 8 && !made; ++attempt) {
        wsprintfW(path, L"%sksvmsi-%08lx-%08lx-%lu", dir, GetCurrentProcessId(), counter.LowPart,
                  attempt);
        made = CreateDirectoryW(path, &security) != FALSE;
        if (!made && GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    DWORD error = GetLastError();
    LocalFree(security.lpSecurityDescriptor);
    SetLastError(error); // the caller reports why no folder was made
    if (made)
        lstrcatW(path, LogName);
    return made;
}

void RemoveLogFile(const WCHAR* path) {
    DeleteFileW(path);
    WCHAR dir[MAX_PATH];
    lstrcpynW(dir, path, MAX_PATH);
    int length = lstrlenW(dir) - lstrlenW(LogName);
    if (length > 0) {
        dir[length] = 0;
        RemoveDirectoryW(dir);
    }
}

bool CopyLog(MSIHANDLE install, const WCHAR* path, const WCHAR* copyTo, LogErrors* errors) {
    errors->length = 0;
    errors->text[0] = 0;
    HANDLE file = CreateFileW(path, GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT |
                                  FILE_FLAG_SEQUENTIAL_SCAN,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    HANDLE heap = GetProcessHeap();
    const SIZE_T wideBytes = (PieceBytes + 1) * sizeof(WCHAR);
    char* bytes = static_cast<char*>(HeapAlloc(heap, 0, PieceBytes + 2 * wideBytes));
    DWORD total = 0;
    if (bytes) {
        bool copyEmpty = false;
        HANDLE copy = *copyTo ? OpenLogCopy(install, copyTo, &copyEmpty) : INVALID_HANDLE_VALUE;
        WCHAR* wide = reinterpret_cast<WCHAR*>(bytes + PieceBytes);
        LineSink sink = {install, errors, wide, wide + PieceBytes + 1, 0};
        sink.batch[0] = 0;
        total = PutLines(file, sink, bytes, copy, copyEmpty);
        if (copy != INVALID_HANDLE_VALUE)
            CloseHandle(copy);
        HeapFree(heap, 0, bytes);
    }
    CloseHandle(file); // deletes it
    return total > 0;
}
