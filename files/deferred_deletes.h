// Files whose deletion failed: retried later, also with the spooler stopped,
// and at the end of a run handed to the system for deletion at restart.
#pragma once

#include "platform/win32.h"

#include <cstdint>

struct InstallContext;

struct DeferredDelete {
    WCHAR* path; // global-heap text, owned
    DeferredDelete* next;
};

// False when the entry could not be kept (no memory): the file then stays.
[[nodiscard]] bool DeferDelete(DeferredDelete*& list, const WCHAR* path);
// Takes `path` off the list again: a file written whole since is to stay.
void KeepDeferred(DeferredDelete*& list, const WCHAR* path);
void RetryDeferredDeletes(InstallContext& context);
uint32_t ScheduleDeferredDeletes(InstallContext& context);
void ReleaseDeferredDeletes(DeferredDelete*& list);
