#include "files/deferred_deletes.h"

#include "common/text.h"
#include "run/install_context.h"
#include "run/install_log.h"

namespace {

void FreeNode(DeferredDelete* node) {
    GlobalFree(node->path);
    GlobalFree(node);
}

} // namespace

// Without memory for the node or its text the entry is not kept: false, and
// the caller reports the file it leaves behind.
bool DeferDelete(DeferredDelete*& list, const WCHAR* path) {
    if (!path || !path[0])
        return true; // nothing that could ever be deleted
    for (DeferredDelete* node = list; node; node = node->next)
        if (TextEqual(node->path, path))
            return true;
    DeferredDelete* node = static_cast<DeferredDelete*>(GlobalAlloc(GPTR, sizeof(DeferredDelete)));
    if (!node)
        return false;
    size_t units = TextLength(path) + 1;
    node->path = static_cast<WCHAR*>(GlobalAlloc(GPTR, units * sizeof(WCHAR)));
    if (!node->path) {
        GlobalFree(node);
        return false;
    }
    lstrcpyW(node->path, path);
    node->next = list;
    list = node;
    return true;
}

void KeepDeferred(DeferredDelete*& list, const WCHAR* path) {
    for (DeferredDelete** link = &list; *link; link = &(*link)->next)
        if (TextEqual((*link)->path, path)) {
            DeferredDelete* node = *link;
            *link = node->next;
            FreeNode(node);
            return;
        }
}

void RetryDeferredDeletes(InstallContext& context) {
    LogLine(context, W("DeleteFile-try"));
    DeferredDelete* kept = nullptr;
    DeferredDelete* node = context.DeferredDeletes;
    while (node) {
        DeferredDelete* next = node->next;
        if (DeleteFileW(node->path) || GetLastError() == ERROR_FILE_NOT_FOUND) {
            if (kept)
                kept->next = next;
            else
                context.DeferredDeletes = next;
            FreeNode(node);
        } else {
            kept = node;
        }
        node = next;
    }
}

// A leftover that cannot be queued either stays for good: an error, since
// exits 1 and 2 promise a machine without our leftovers.
uint32_t ScheduleDeferredDeletes(InstallContext& context) {
    uint32_t scheduled = 0;
    for (DeferredDelete* node = context.DeferredDeletes; node; node = node->next)
        if (MoveFileExW(node->path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
            ++scheduled;
        else
            LogError(context, ErrScheduleDelete, GetLastError(), node->path);
    ReleaseDeferredDeletes(context.DeferredDeletes);
    return scheduled;
}

void ReleaseDeferredDeletes(DeferredDelete*& list) {
    while (list) {
        DeferredDelete* next = list->next;
        FreeNode(list);
        list = next;
    }
}
