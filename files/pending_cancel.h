// Taking our own files back out of the deletions queued for the next restart.
#pragma once

#include "platform/win32.h"

struct InstallContext;

// Removes every queued deletion (empty target) whose source, without its
// "\??\" prefix, names `path` (letter case ignored); every other operation
// stays exactly as it stands. Logs one line per cancelled operation.
void CancelPendingDeletion(InstallContext& context, const WCHAR* path);
