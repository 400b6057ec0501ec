// ksvdrv64.dll: the printer graphics DLL of the version-3 driver
// "Kestrovane printer". It declares itself a user-mode driver and offers no
// rendering functions of its own: the installer only needs a driver that the
// spooler registers and that printers can be created on.
#include <windows.h>

// mingw-w64's winddi.h needs the DDK's headers; the few names used here, as
// Microsoft documents them for printer graphics DLLs.
typedef LONG_PTR(APIENTRY* PFN)();
typedef struct _DRVFN {
    ULONG iFunc;
    PFN pfn;
} DRVFN;
typedef struct _DRVENABLEDATA {
    ULONG iDriverVersion;
    ULONG c;
    DRVFN* pdrvfn;
} DRVENABLEDATA;
const ULONG DDI_DRIVER_VERSION_NT4 = 0x00020000;
const DWORD DRVQUERY_USERMODE = 1;

extern "C" BOOL WINAPI DrvQueryDriverInfo(DWORD mode, PVOID buffer, DWORD size, PDWORD needed) {
    if (mode != DRVQUERY_USERMODE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (needed)
        *needed = sizeof(DWORD);
    if (!buffer || size < sizeof(DWORD)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    *static_cast<DWORD*>(buffer) = TRUE;
    return TRUE;
}

extern "C" BOOL WINAPI DrvEnableDriver(ULONG engineVersion, ULONG size, DRVENABLEDATA* data) {
    if (!data || size < sizeof(DRVENABLEDATA) || engineVersion < DDI_DRIVER_VERSION_NT4) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    data->iDriverVersion = DDI_DRIVER_VERSION_NT4;
    data->c = 0;
    data->pdrvfn = nullptr;
    return TRUE;
}

extern "C" VOID WINAPI DrvDisableDriver() {}
