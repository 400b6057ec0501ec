#include "install/single_installer.h"

HANDLE WaitForOtherInstallers() {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, InstallerMutexName);
    if (!mutex)
        return nullptr;
    DWORD result = WaitForSingleObject(mutex, INFINITE);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED)
        return mutex;
    CloseHandle(mutex);
    return nullptr;
}

void LetOtherInstallersRun(HANDLE mutex) {
    if (!mutex)
        return;
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}
