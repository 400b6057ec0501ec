// The options a setup author adds after the verb: /quiet and /log <file>.
#pragma once

#include "platform/win32.h"

struct RunOptions {
    bool Quiet = false;             // never show the log dialog
    const WCHAR* LogFile = nullptr; // full path the log is written to; null: none
    const WCHAR* Verb = nullptr;    // as given, for the log file's first line
    HWND Owner = nullptr;           // owns the log dialog
};

// Takes the options out of the arguments after the verb, closing the gaps, so
// that what is left reads as a command line without them. False for an
// argument beginning with '/' that is no option, and for /log without a full
// path behind it: a command line the installer does not know.
bool TakeOptions(int& argc, LPWSTR* argv, RunOptions& options);
