#include "run/module.h"

#include "common/text.h"

HINSTANCE ModuleInstance = nullptr;

WideString ModuleDirectory() {
    WideString dir;
    WCHAR path[MAX_PATH] = {0};
    DWORD n = GetModuleFileNameW(ModuleInstance, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return dir; // a failed or cut path is no directory to copy from
    if (!Append(dir, path, static_cast<size_t>(FileNamePart(path) - path)))
        Release(dir);
    return dir;
}
