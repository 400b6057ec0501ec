// The log written to a file for a setup author (/log): UTF-8 with a byte-order
// mark, a first line with the local date and time, the verb and the build,
// then the lines the log dialog shows.
#pragma once

#include "platform/win32.h"

struct InstallContext;

// Creates or replaces the file at `path`. A file that could not be written
// whole is removed again, so that a cut log never passes for a whole one.
bool WriteLogFile(const InstallContext& context, const WCHAR* path, const WCHAR* verb);
