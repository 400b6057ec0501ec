// The program's entry: the verb, the owner window and the exit code.
#pragma once

#include "install/run_options.h"
#include "platform/win32.h"

#include <cstdint>

// Runs the verb on the command line and returns the process exit code.
int RunInstaller(HINSTANCE instance);

int InstallCommand(const RunOptions& options, uint32_t mode);
// Whether an error was logged; `scheduled` receives the number of files handed
// to the system for deletion at restart.
bool UninstallCommand(const RunOptions& options, uint32_t& scheduled);
void CloseHelpWindow();
