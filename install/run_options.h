// The options a setup author adds after the verb (/quiet, /log <file>, and
// for test machines /nopackagecheck), and what the front end hands the verb
// with them.
#pragma once

#include "platform/win32.h"

struct InstallersLock;
struct PackageFiles;

struct RunOptions {
    bool Quiet = false;                      // never show the log dialog
    const WCHAR* LogFile = nullptr;          // full path the log is written to; null: none
    bool NoPackageCheck = false;             // who can change the package is not asked (logged)
    const WCHAR* Verb = nullptr;             // as given, for the log file's first line
    HWND Owner = nullptr;                    // owns the log dialog
    HANDLE LogHandle = INVALID_HANDLE_VALUE; // LogFile, opened before anything changed
    const PackageFiles* Package = nullptr;   // the package's files the run holds open
    InstallersLock* Lock = nullptr;          // let go before the log is written and shown
};

// Takes the options out of the arguments after the verb, closing the gaps, so
// that what is left reads as a command line without them. False for an
// argument beginning with '/' that is no option, and for /log without a full
// path behind it: a command line the installer does not know.
bool TakeOptions(int& argc, LPWSTR* argv, RunOptions& options);
