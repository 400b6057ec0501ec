// Registering and starting the tray program, and stopping and unregistering
// it. Both are silent: no log line, no error, whatever happens.
#pragma once

#include "common/wide_string.h"
#include "tray/tray_protocol.h"

struct InstallContext;

// Where the tray program lies: in the parent of the installer's directory.
// Empty when there is no such parent (or no memory): a bare name would be
// looked for wherever the system happens to look.
WideString TrayPath(const WideString& moduleDir);
void RegisterTray(InstallContext& context);
// Asks a running tray program to end, deletes the file the Run value names and
// removes the value. `keepPath` (or null) names a file that is not deleted: an
// install that starts the tray program again from there passes TrayPath.
void StopTray(const WCHAR* keepPath);
