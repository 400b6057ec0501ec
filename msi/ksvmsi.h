// ksvmsi.dll, the custom actions of the Windows Installer package: what its
// files share.
#pragma once

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

// Messages of the package's Error table (make_msi.py writes the table).
const int ErrorInstallerFailed = 25001;
const int ErrorInstallerNotStarted = 25002;
const int ErrorFolderTooLong = 25003;
const int ErrorInstallerBusy = 25004;
const int ErrorBadProperty = 25005;

// The installer is started by its full path, and the longest name it puts
// beside its own folder must fit into MAX_PATH as well.
const int SetupFolderMax = MAX_PATH - 32;

// --- messages.cpp: lines and errors into the Windows Installer log ---------

// One line, verbatim: Windows Installer formats a record's fields again after
// putting them into the template, so every bracket and brace is escaped.
void Tell(MSIHANDLE install, const WCHAR* text);
void TellFormat(MSIHANDLE install, const WCHAR* format, ...);
// A message of the Error table with up to three texts for [2], [3] and [4]:
// Windows Installer logs it as an error (and in the event log), and shows it
// where there is a user interface.
void Report(MSIHANDLE install, int error, const WCHAR* first, const WCHAR* second,
            const WCHAR* third);

// "C:\..." or "\\server\share\...".
bool IsFullPath(const WCHAR* path);

// --- installer_log.cpp: the log file of one ksvinstall.exe run ------------

// The path of a log file in a new folder that only SYSTEM and the
// administrators may open, in the system's own temporary folder where Windows
// has one; false when none could be made. RemoveLogFile takes both away.
bool MakeLogFile(WCHAR* path, DWORD capacity);
void RemoveLogFile(const WCHAR* path);

// What the log held besides its lines: its "Error(N): ..." lines, joined.
struct LogErrors {
    WCHAR text[768];
    int length;
};

// Copies the log at `path` line by line into the Windows Installer log, reading
// it in pieces, and appends its bytes to `copyTo` when that is not empty. False
// when there was no log to read.
bool CopyLog(MSIHANDLE install, const WCHAR* path, const WCHAR* copyTo, LogErrors* errors);

// --- machine_marks.cpp: what the machine says ------------------------------

// The port monitor, the driver or the tray program's Run value of the
// Kestrovane printer is registered, whoever set it up.
bool OurSetupPresent();
// A restart finishes what an installer run did: noted by the deferred action,
// read (and taken) by the immediate one after InstallFinalize.
void MarkRestartNeeded();
bool TakeRestartMark();
