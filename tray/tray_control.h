// Registering and starting the tray program, and stopping and unregistering
// it. Silent but for what a run must know: a tray program that is not there
// to be registered, and a Run value or a file that turned out not to be ours.
#pragma once

#include "common/wide_string.h"
#include "tray/tray_protocol.h"

struct InstallContext;

// Where the tray program lies: in the parent of the installer's directory.
// Empty when there is no such parent (or no memory): a bare name would be
// looked for wherever the system happens to look.
WideString TrayPath(const WideString& moduleDir);
// TrayPath when it is a whole full path, the file the package ships; empty
// otherwise (no installer directory, a path that could not be built).
WideString ShippedTrayPath(const WideString& moduleDir);
// Registers the tray program and starts it where a person sees it (tray_start.h).
void RegisterTray(InstallContext& context);

// What becomes of the tray program's file once the program has ended.
enum class TrayFile { Keep, Delete };
// Asks every tray program of ours to end, in every session, and removes the
// Run value. Ours is `ourTray`, the kestray.exe of the package the installer
// knows (empty: none is known): a running program counts only when its image
// is that file, and only that file is deleted (TrayFile::Delete). A file the
// Run value names otherwise stays, and `context`'s log (null: none) says so.
// Returns whether the file was to be deleted and still is there (in use).
bool StopTray(const WCHAR* ourTray, TrayFile fate, InstallContext* context);
// StopTray for the package beside `moduleDir`'s parent.
bool StopOurTray(const WideString& moduleDir, TrayFile fate, InstallContext* context);
