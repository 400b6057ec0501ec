// A DLL planted beside the installer under a system DLL's name. Loaded, it
// leaves a marker file C:\users\Public\planted-<its file name>; every export
// fails, so a run that used it would show that as well.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    WCHAR path[MAX_PATH] = {};
    GetModuleFileNameW(instance, path, MAX_PATH);
    const WCHAR* name = path;
    for (const WCHAR* p = path; *p; ++p)
        if (*p == L'\\' || *p == L'/')
            name = p + 1;
    WCHAR marker[MAX_PATH + 32] = L"C:\\users\\Public\\planted-";
    lstrcatW(marker, name);
    HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return TRUE;
}

extern "C" INT_PTR PlantedExport() {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}
