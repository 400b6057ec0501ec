// The log written to a file for a setup author (/log): UTF-8 with a byte-order
// mark, a first line with the local date and time, the verb and the build,
// then the lines the log dialog shows.
#pragma once

#include "platform/win32.h"

struct InstallContext;

// Opens the file at `path` before anything changes, for the run alone (no
// sharing). A new file lets only SYSTEM and Administrators at it. An existing
// one is replaced only when it is a plain file of one name, owned by SYSTEM,
// Administrators or the account the installer runs as: the log never follows
// a link or feeds a file someone else prepared. INVALID_HANDLE_VALUE: refused.
HANDLE OpenLogFile(const WCHAR* path);
// Writes the log through that handle from its start and cuts what an older
// file held beyond it. A file that could not be written whole is deleted
// through the handle when it closes, so that a cut log never passes for a
// whole one.
bool WriteLogFile(const InstallContext& context, HANDLE file, const WCHAR* verb);
