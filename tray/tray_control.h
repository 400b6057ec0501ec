// Registering and starting the tray program, and stopping and unregistering
// it. Both are silent (no log line, no error), except that RegisterTray
// reports a tray program that is not there.
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
void RegisterTray(InstallContext& context);
// Asks a running tray program to end, deletes the file the Run value names and
// removes the value. `keepPath` (or null) names a file that is not deleted
// (the one the package ships); paths compare as Windows compares them, and a
// file that may be it is kept. An empty `keepPath` keeps any file: the
// installer could not tell where its package lies.
void StopTray(const WCHAR* keepPath);
// StopTray keeping the file the package ships beside `moduleDir`'s parent:
// it is the product's only copy, which a later install starts again.
void StopTrayKeepingShipped(const WideString& moduleDir);
