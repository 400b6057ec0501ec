// ksvmsi.dll: the custom actions of the Windows Installer package.
//
// RunInstaller (deferred, and rollback) runs ksvinstall.exe from the installed
// setup folder, quietly and with a log file, copies that log into the Windows
// Installer log and turns the exit code into Windows Installer's answer (1 is
// the installer's success there, any other non-zero answer a failure).
// CustomActionData: "<verb>|<setup folder>|<KSVNOTRAY>|<undo>|<KSVLOGFILE>",
// the verb install, uninstall or removetray. <undo> is "1" for a first
// install onto a machine without the printer: a failed install is taken out
// again at once, as its rollback action does on Windows (Wine's msiexec runs
// rollback actions only after it has removed the files). A rollback
// uninstall runs only while something of the printer is there.
//
// Immediate, before anything changes: CheckOptions (the folder and the public
// properties) and FindSetup (was the printer set up already?). After
// InstallFinalize: RequestRestart, for the restart an installer run left.
#include "msi/ksvmsi.h"

namespace {

const int VerbMax = 16;
const int Fields = 5;

struct Action {
    WCHAR verb[VerbMax]; // as started: install, in_notray, uninstall, removetray
    WCHAR setupDir[MAX_PATH];
    WCHAR logCopy[MAX_PATH]; // KSVLOGFILE, or empty
    bool removal;
    bool undoOnFailure;
};

struct Run {
    bool started;
    DWORD result; // the exit code, or why it could not be started
    LogErrors errors;
};

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
    WCHAR data[VerbMax + 2 * MAX_PATH + 8];
    DWORD size = ARRAYSIZE(data);
    if (MsiGetPropertyW(install, L"CustomActionData", data, &size) != ERROR_SUCCESS)
        return false;
    WCHAR* field[Fields] = {data};
    for (int i = 1; i < Fields; ++i)
        if (!(field[i] = CutField(field[i - 1])))
            return false;
    const WCHAR* dir = field[1];
    const WCHAR* copy = field[4];
    if (lstrlenW(dir) < 3 || lstrlenW(dir) > SetupFolderMax)
        return false;
    if (*copy && (!IsFullPath(copy) || lstrlenW(copy) >= MAX_PATH))
        return false;
    bool installing = lstrcmpW(field[0], L"install") == 0;
    action->removal = lstrcmpW(field[0], L"uninstall") == 0;
    if (!installing && !action->removal && lstrcmpW(field[0], L"removetray") != 0)
        return false;
    lstrcpyW(action->verb, installing && lstrcmpW(field[2], L"1") == 0 ? L"in_notray" : field[0]);
    action->undoOnFailure = installing && lstrcmpW(field[3], L"1") == 0;
    lstrcpyW(action->setupDir, dir);
    lstrcpyW(action->logCopy, copy);
    return true;
}

// Runs ksvinstall.exe and waits for it; false when it could not be started,
// with the reason in `result`.
bool RunSetup(const Action& action, const WCHAR* logPath, DWORD* result) {
    WCHAR program[MAX_PATH];
    lstrcpynW(program, action.setupDir, MAX_PATH - 16);
    int length = lstrlenW(program);
    if (program[length - 1] != L'\\')
        lstrcatW(program, L"\\");
    lstrcatW(program, L"ksvinstall.exe");

    WCHAR commandLine[3 * MAX_PATH];
    if (logPath)
        wsprintfW(commandLine, L"\"%s\" %s /quiet /log \"%s\"", program, action.verb, logPath);
    else
        wsprintfW(commandLine, L"\"%s\" %s /quiet", program, action.verb);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        action.setupDir, &startup, &process)) {
        *result = GetLastError();
        return false;
    }
    // The installer bounds its own waits (spooler stops, the tray program,
    // the installers' lock) and shows nothing with /quiet, so it ends.
    WaitForSingleObject(process.hProcess, INFINITE);
    bool known = GetExitCodeProcess(process.hProcess, result) != 0;
    if (!known)
        *result = GetLastError();
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return known;
}

// Runs the installer with the action's verb, its log copied into the Windows
// Installer log. Without a log file it runs all the same, and says so.
void RunLogged(MSIHANDLE install, const Action& action, Run* run) {
    WCHAR logPath[MAX_PATH];
    bool logged = lstrcmpW(action.verb, L"removetray") != 0; // only these two keep a log
    if (logged && !MakeLogFile(logPath, MAX_PATH)) {
        TellFormat(install,
                   L"ksvmsi: no log file could be made (%lu); ksvinstall.exe %s runs without",
                   GetLastError(), action.verb);
        logged = false;
    }
    run->errors.length = 0;
    run->errors.text[0] = 0;
    run->started = RunSetup(action, logged ? logPath : nullptr, &run->result);
    if (logged && run->started && !CopyLog(install, logPath, action.logCopy, &run->errors))
        Tell(install, L"ksvmsi: the installer wrote no log");
    if (logged)
        RemoveLogFile(logPath);
    if (run->started)
        TellFormat(install, L"ksvmsi: ksvinstall.exe %s ended with %lu", action.verb, run->result);
    else
        TellFormat(install, L"ksvmsi: ksvinstall.exe in %s could not be started (%lu)",
                   action.setupDir, run->result);
}

// 1 and 2: done. 101: done, a restart finishes it. 104: another installer
// held the lock, nothing changed. A removal that failed goes on only when
// nothing of the printer is left; anything else fails the install or the
// removal, and Windows Installer rolls it back.
UINT Answer(MSIHANDLE install, const Action& action, const Run& run, bool rollback) {
    if (lstrcmpW(action.verb, L"removetray") == 0)
        return ERROR_SUCCESS; // at worst the tray's file is replaced at the next restart
    if (run.started && (run.result == 1 || run.result == 2))
        return ERROR_SUCCESS;
    if (run.started && run.result == 101) {
        Tell(install, L"ksvmsi: a restart finishes the work");
        MarkRestartNeeded();
        return ERROR_SUCCESS;
    }
    if (rollback)
        return ERROR_SUCCESS; // nothing left to answer for
    if (action.removal && !OurSetupPresent()) {
        Tell(install, L"ksvmsi: nothing of the printer is left; the removal goes on");
        return ERROR_SUCCESS;
    }
    WCHAR number[16];
    wsprintfW(number, L"%lu", run.result);
    if (!run.started)
        Report(install, ErrorInstallerNotStarted, action.setupDir, number, L"");
    else if (run.result == 104)
        Report(install, ErrorInstallerBusy, action.verb, L"", L"");
    else
        Report(install, ErrorInstallerFailed, action.verb, number, run.errors.text);
    return ERROR_INSTALL_FAILURE;
}

// A first install that failed: its printers, driver, monitor and tray
// program would stay behind on files that the rollback deletes.
void Undo(MSIHANDLE install, const Action& failed) {
    Action undo = failed;
    lstrcpyW(undo.verb, L"uninstall");
    undo.removal = true;
    undo.undoOnFailure = false;
    Tell(install, L"ksvmsi: taking the failed install out again");
    Run run = {};
    RunLogged(install, undo, &run);
}

// The property's value; false when it does not fit into MAX_PATH characters.
bool ReadProperty(MSIHANDLE install, const WCHAR* name, WCHAR* value) {
    DWORD size = MAX_PATH;
    UINT result = MsiGetPropertyW(install, name, value, &size);
    if (result == ERROR_MORE_DATA)
        lstrcpyW(value + MAX_PATH - 4, L"...");
    else if (result != ERROR_SUCCESS)
        value[0] = 0;
    return result == ERROR_SUCCESS;
}

} // namespace

extern "C" __declspec(dllexport) UINT __stdcall RunInstaller(MSIHANDLE install) {
    Action action = {};
    if (!ReadAction(install, &action)) {
        Tell(install, L"ksvmsi: CustomActionData is not "
                      L"\"<verb>|<setup folder>|<KSVNOTRAY>|<undo>|<KSVLOGFILE>\"");
        return ERROR_INSTALL_FAILURE;
    }
    bool rollback = MsiGetMode(install, MSIRUNMODE_ROLLBACK) != FALSE;
    // A first install's rollback: the failed install took itself out, or
    // failed before it registered anything.
    if (rollback && action.removal && !OurSetupPresent()) {
        Tell(install, L"ksvmsi: nothing of the printer to take out");
        return ERROR_SUCCESS;
    }
    Run run = {};
    RunLogged(install, action, &run);
    UINT answer = Answer(install, action, run, rollback);
    if (answer != ERROR_SUCCESS && action.undoOnFailure)
        Undo(install, action);
    return answer;
}

// Before any file is copied: the folder fits the installer's paths, and the
// public properties say something the package knows.
extern "C" __declspec(dllexport) UINT __stdcall CheckOptions(MSIHANDLE install) {
    WCHAR value[MAX_PATH];
    WCHAR number[16];
    if (!ReadProperty(install, L"SETUPFOLDER", value) || lstrlenW(value) > SetupFolderMax) {
        ReadProperty(install, L"INSTALLFOLDER", value);
        wsprintfW(number, L"%d", SetupFolderMax - 6); // "setup\" follows
        Report(install, ErrorFolderTooLong, value, number, L"");
        return ERROR_INSTALL_FAILURE;
    }
    bool known = ReadProperty(install, L"KSVNOTRAY", value) &&
                 (!*value || lstrcmpW(value, L"0") == 0 || lstrcmpW(value, L"1") == 0);
    if (!known) {
        Report(install, ErrorBadProperty, L"KSVNOTRAY", value, L"1, or leave it out");
        return ERROR_INSTALL_FAILURE;
    }
    known = ReadProperty(install, L"KSVLOGFILE", value) && (!*value || IsFullPath(value));
    if (!known) {
        Report(install, ErrorBadProperty, L"KSVLOGFILE", value,
               L"a full path (C:\\... or \\\\server\\share\\...) shorter than 260 characters");
        return ERROR_INSTALL_FAILURE;
    }
    return ERROR_SUCCESS;
}

// A first install onto a machine where another setup put the printer: a
// failed install must not take that out.
extern "C" __declspec(dllexport) UINT __stdcall FindSetup(MSIHANDLE install) {
    if (OurSetupPresent())
        Tell(install, L"ksvmsi: the Kestrovane printer is set up already; a failed install "
                      L"leaves it in place");
    else
        MsiSetPropertyW(install, L"KsvCleanMachine", L"1");
    return ERROR_SUCCESS;
}

// A deferred action may not ask for the restart itself (MsiSetMode is not
// among the calls allowed there); it leaves a mark that this one reads.
extern "C" __declspec(dllexport) UINT __stdcall RequestRestart(MSIHANDLE install) {
    if (TakeRestartMark()) {
        Tell(install, L"ksvmsi: a restart finishes the work of the installer");
        MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
    }
    return ERROR_SUCCESS;
}
