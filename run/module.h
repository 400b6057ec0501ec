// The installer's own module: the instance the entry point received and the
// folder it was started from.
#pragma once

#include "common/wide_string.h"
#include "platform/win32.h"

// Set before anything else runs.
extern HINSTANCE ModuleInstance;

// The installer's own directory with its separator; empty when the system
// could not give its whole path.
WideString ModuleDirectory();
