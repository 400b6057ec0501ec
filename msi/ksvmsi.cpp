// ksvmsi.dll: the custom action of the Windows Installer package. It runs
// ksvinstall.exe from the installed setup folder, quietly and with a log
// file, copies that log into the Windows Installer log and turns the exit
// code into the answer Windows Installer understands (any non-zero answer
// of a program counts as a failure there, and 1 is the installer's success).
//
// CustomActionData: "<verb>|<setup folder>[|uninstall]", the verb install
// or uninstall; "|uninstall" after an install (a first one) takes out what a
// failed install registered and started, before Windows Installer takes the
// files back.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>

namespace {

const int VerbMax = 16;
const DWORD LogMax = 4 * 1024 * 1024; // far above any real log; guards the heap

struct Action {
    WCHAR verb[VerbMax];
    WCHAR setupDir[MAX_PATH];
    bool removal;
    bool undoOnFailure;
};

// One line into the Windows Installer log. The text goes in as a field, not
// as the template, so that brackets in it are not read as properties.
void Tell(MSIHANDLE install, const WCHAR* text) {
    MSIHANDLE record = MsiCreateRecord(1);
    if (!record)
        return;
    MsiRecordSetStringW(record, 0, L"[1]");
    MsiRecordSetStringW(record, 1, text);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

void TellCode(MSIHANDLE install, const WCHAR* format, const WCHAR* text, DWORD code) {
    WCHAR line[MAX_PATH + 128];
    wsprintfW(line, format, text, code);
    Tell(install, line);
}

// Cuts the text at the next '|'; the rest after it, or null.
WCHAR* CutField(WCHAR* text) {
    while (*text && *text != L'|')
        ++text;
    if (!*text)
        return nullptr;
    *text = 0;
    return text + 1;
}

bool ReadAction(MSIHANDLE install, Action* action) {
    WCHAR data[2 * VerbMax + MAX_PATH + 2];
    DWORD size = ARRAYSIZE(data);
    if (MsiGetPropertyW(install, L"CustomActionData", data, &size) != ERROR_SUCCESS)
        return false;
    WCHAR* dir = CutField(data);
    if (!dir || lstrlenW(data) >= VerbMax)
        return false;
    WCHAR* onFailure = CutField(dir);
    action->undoOnFailure = onFailure && lstrcmpW(onFailure, L"uninstall") == 0;
    if (onFailure && !action->undoOnFailure)
        return false;
    // The installer is started by its full path; with the verb and two
    // quoted paths the command line must fit as well.
    if (lstrlenW(dir) < 3 || lstrlenW(dir) > MAX_PATH - 32)
        return false;
    lstrcpynW(action->verb, data, VerbMax);
    lstrcpynW(action->setupDir, dir, MAX_PATH);
    action->removal = lstrcmpW(action->verb, L"uninstall") == 0;
    if (action->removal)
        return !onFailure;
    return lstrcmpW(action->verb, L"install") == 0;
}

// A fresh, empty file in the temporary folder of the account that runs the
// action: with no impersonation that is the system's, not the user's.
bool MakeLogPath(WCHAR* path) {
    WCHAR dir[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, dir);
    if (length == 0 || length >= MAX_PATH - 14)
        return false;
    return GetTempFileNameW(dir, L"ksv", 0, path) != 0;
}

// Runs ksvinstall.exe and waits for it; false when it could not be started.
bool RunSetup(const Action& action, const WCHAR* logPath, DWORD* exitCode) {
    WCHAR program[MAX_PATH];
    lstrcpynW(program, action.setupDir, MAX_PATH - 16);
    int length = lstrlenW(program);
    if (program[length - 1] != L'\\')
        lstrcatW(program, L"\\");
    lstrcatW(program, L"ksvinstall.exe");

    WCHAR commandLine[3 * MAX_PATH];
    wsprintfW(commandLine, L"\"%s\" %s /quiet /log \"%s\"", program, action.verb, logPath);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        action.setupDir, &startup, &process))
        return false;
    // The installer bounds its own waits (spooler stops, the tray program)
    // and shows nothing with /quiet, so it ends by itself.
    WaitForSingleObject(process.hProcess, INFINITE);
    bool known = GetExitCodeProcess(process.hProcess, exitCode) != 0;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return known;
}

// Copies the installer's log (UTF-8 with a byte-order mark, CR LF) line by
// line into the Windows Installer log, then deletes the file.
void CopyLog(MSIHANDLE install, const WCHAR* logPath) {
    HANDLE file = CreateFileW(logPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD size = GetFileSize(file, nullptr);
    char* bytes = nullptr;
    DWORD read = 0;
    if (size != INVALID_FILE_SIZE && size > 0 && size <= LogMax)
        bytes = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size));
    bool got = bytes && ReadFile(file, bytes, size, &read, nullptr) && read == size;
    CloseHandle(file);
    DeleteFileW(logPath);
    if (!got) {
        if (bytes)
            HeapFree(GetProcessHeap(), 0, bytes);
        Tell(install, L"ksvmsi: the installer wrote no log");
        return;
    }
    int skip = size >= 3 && bytes[0] == '\xEF' && bytes[1] == '\xBB' && bytes[2] == '\xBF' ? 3 : 0;
    int count = MultiByteToWideChar(CP_UTF8, 0, bytes + skip, size - skip, nullptr, 0);
    WCHAR* text = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, (count + 1) * sizeof(WCHAR)));
    if (text) {
        MultiByteToWideChar(CP_UTF8, 0, bytes + skip, size - skip, text, count);
        text[count] = 0;
        WCHAR* line = text;
        for (int i = 0; i <= count; ++i) {
            if (i < count && text[i] != L'\n')
                continue;
            text[i] = 0;
            if (i > 0 && text[i - 1] == L'\r')
                text[i - 1] = 0;
            if (i < count || *line)
                Tell(install, line);
            line = text + i + 1;
        }
        HeapFree(GetProcessHeap(), 0, text);
    }
    HeapFree(GetProcessHeap(), 0, bytes);
}

// 1 and 2: done. 101: done, a restart finishes it. Anything else fails an
// install (Windows Installer rolls it back); a removal is not held up by it.
UINT Answer(MSIHANDLE install, const Action& action, DWORD exitCode) {
    if (exitCode == 1 || exitCode == 2)
        return ERROR_SUCCESS;
    if (exitCode == 101) {
        Tell(install, L"ksvmsi: a restart finishes the work");
        MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
        return ERROR_SUCCESS;
    }
    if (action.removal) {
        TellCode(install, L"ksvmsi: %s failed (%u); the removal goes on", action.verb, exitCode);
        return ERROR_SUCCESS;
    }
    TellCode(install, L"ksvmsi: %s failed (%u)", action.verb, exitCode);
    return ERROR_INSTALL_FAILURE;
}

// Runs the installer with the action's verb, its log copied into the
// Windows Installer log; false when it could not be run at all.
bool RunLogged(MSIHANDLE install, const Action& action, DWORD* exitCode) {
    WCHAR logPath[MAX_PATH];
    if (!MakeLogPath(logPath)) {
        TellCode(install, L"ksvmsi: no log file in the temporary folder for %s (%u)", action.verb,
                 GetLastError());
        return false;
    }
    if (!RunSetup(action, logPath, exitCode)) {
        DWORD error = GetLastError();
        DeleteFileW(logPath);
        TellCode(install, L"ksvmsi: ksvinstall.exe in %s could not be started (%u)",
                 action.setupDir, error);
        return false;
    }
    CopyLog(install, logPath);
    TellCode(install, L"ksvmsi: ksvinstall.exe %s ended with %u", action.verb, *exitCode);
    return true;
}

// A first install that failed: its printers, driver, monitor and tray
// program would stay behind on files that the rollback deletes.
void Undo(MSIHANDLE install, const Action& failed) {
    Action undo = failed;
    lstrcpyW(undo.verb, L"uninstall");
    undo.removal = true;
    Tell(install, L"ksvmsi: taking the failed install out again");
    DWORD exitCode = 0;
    RunLogged(install, undo, &exitCode);
}

} // namespace

extern "C" __declspec(dllexport) UINT __stdcall RunInstaller(MSIHANDLE install) {
    Action action = {};
    if (!ReadAction(install, &action)) {
        Tell(install, L"ksvmsi: CustomActionData is not \"install|<folder>[|uninstall]\" or "
                      L"\"uninstall|<folder>\"");
        return ERROR_INSTALL_FAILURE;
    }
    DWORD exitCode = 0;
    UINT answer = ERROR_INSTALL_FAILURE;
    if (RunLogged(install, action, &exitCode))
        answer = Answer(install, action, exitCode);
    else if (action.removal)
        answer = ERROR_SUCCESS;
    if (answer != ERROR_SUCCESS && action.undoOnFailure)
        Undo(install, action);
    return answer;
}
