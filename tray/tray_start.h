// Starting the tray program where a person sees it, without the rights of
// the installer that starts it: as the logged-on users in their sessions
// when the installer runs as a service, as the unelevated administrator
// when it runs elevated under UAC, and as the installer itself otherwise.
#pragma once

#include "common/wide_string.h"

// Starts `path` (a full path) with its quoted path as the command line, and
// does not wait for it. A path too long for the command line, or nobody to
// start it for, starts nothing: the Run value starts it at the next logon.
void StartTray(const WideString& path);
