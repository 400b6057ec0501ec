#include "run/module.h"

HINSTANCE ModuleInstance = nullptr;

WideString ModuleDirectory() {
    WideString dir;
    WCHAR path[MAX_PATH] = {0};
    DWORD n = GetModuleFileNameW(ModuleInstance, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return dir; // a failed or cut path is no directory to copy from
    size_t cut = 0;
    for (size_t i = 0; i < n; ++i)
        if (path[i] == '\\' || path[i] == '/' || path[i] == ':')
            cut = i + 1;
    if (!Append(dir, path, cut))
        Release(dir);
    return dir;
}
