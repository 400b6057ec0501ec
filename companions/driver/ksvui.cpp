// ksvui64.dll: the printer interface DLL of "Kestrovane printer". It shows
// no property sheets; it reports and fills the driver's DEVMODEW (A4,
// portrait, one copy, 600 dpi) and answers the device capability queries
// that applications and the spooler ask when printers are created.
#include <windows.h>
#include <winspool.h>

#include <cstring>

// winddiui.h of mingw-w64 lacks this structure; laid out as Microsoft
// documents it for DrvDocumentPropertySheets.
typedef struct _DOCUMENTPROPERTYHEADER {
    WORD cbSize;
    WORD Reserved;
    HANDLE hPrinter;
    LPWSTR pszPrinterName;
    PDEVMODEW pdmIn;
    PDEVMODEW pdmOut;
    DWORD cbOut;
    DWORD fMode;
} DOCUMENTPROPERTYHEADER, *PDOCUMENTPROPERTYHEADER;

namespace {

const LONG ErrorResult = -1; // ERR_CPSUI_GETLASTERROR
const LONG OkResult = 1;     // CPSUI_OK
const WORD DriverVersion = 0x0100;
const DWORD Fields = DM_ORIENTATION | DM_PAPERSIZE | DM_COPIES | DM_PRINTQUALITY | DM_YRESOLUTION |
                     DM_DEFAULTSOURCE | DM_COLOR;
const short Resolution = 600;

void DefaultDevMode(DEVMODEW& dm, const WCHAR* printerName) {
    std::memset(&dm, 0, sizeof dm);
    if (printerName)
        lstrcpynW(dm.dmDeviceName, printerName, CCHDEVICENAME);
    dm.dmSpecVersion = DM_SPECVERSION;
    dm.dmDriverVersion = DriverVersion;
    dm.dmSize = sizeof(DEVMODEW);
    dm.dmFields = Fields;
    dm.dmOrientation = DMORIENT_PORTRAIT;
    dm.dmPaperSize = DMPAPER_A4;
    dm.dmCopies = 1;
    dm.dmDefaultSource = DMBIN_AUTO;
    dm.dmPrintQuality = Resolution;
    dm.dmYResolution = Resolution;
    dm.dmColor = DMCOLOR_MONOCHROME;
}

// Takes over the settings of the caller's DEVMODEW that this driver knows.
void Merge(DEVMODEW& dm, const DEVMODEW* in) {
    if (!in || in->dmSize < offsetof(DEVMODEW, dmColor) + sizeof(in->dmColor))
        return;
    if ((in->dmFields & DM_ORIENTATION) &&
        (in->dmOrientation == DMORIENT_PORTRAIT || in->dmOrientation == DMORIENT_LANDSCAPE))
        dm.dmOrientation = in->dmOrientation;
    if ((in->dmFields & DM_COPIES) && in->dmCopies > 0)
        dm.dmCopies = in->dmCopies;
}

// Fills `count` fixed-size name buffers with one name.
DWORD OneName(void* output, size_t units, const WCHAR* name) {
    if (output) {
        WCHAR* out = static_cast<WCHAR*>(output);
        std::memset(out, 0, units * sizeof(WCHAR));
        lstrcpynW(out, name, static_cast<int>(units));
    }
    return 1;
}

} // namespace

extern "C" LONG WINAPI DrvDocumentPropertySheets(void* propertySheetInfo, LPARAM lParam) {
    if (propertySheetInfo) {
        SetLastError(ERROR_NOT_SUPPORTED); // no property sheets
        return ErrorResult;
    }
    DOCUMENTPROPERTYHEADER* header = reinterpret_cast<DOCUMENTPROPERTYHEADER*>(lParam);
    if (!header) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return ErrorResult;
    }
    if (header->fMode == 0 || !header->pdmOut) {
        header->cbOut = sizeof(DEVMODEW);
        return static_cast<LONG>(header->cbOut);
    }
    if (header->cbOut < sizeof(DEVMODEW)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return ErrorResult;
    }
    DEVMODEW dm;
    DefaultDevMode(dm, header->pszPrinterName);
    if (header->fMode & DM_IN_BUFFER)
        Merge(dm, header->pdmIn);
    std::memcpy(header->pdmOut, &dm, sizeof dm);
    return OkResult;
}

extern "C" DWORD WINAPI DrvDeviceCapabilities(HANDLE, PWSTR deviceName, WORD capability,
                                              void* output, PDEVMODEW devMode) {
    DEVMODEW dm;
    DefaultDevMode(dm, deviceName);
    Merge(dm, devMode);
    switch (capability) {
    case DC_FIELDS:
        return dm.dmFields;
    case DC_SIZE:
        return dm.dmSize;
    case DC_EXTRA:
        return dm.dmDriverExtra;
    case DC_VERSION:
        return dm.dmSpecVersion;
    case DC_DRIVER:
        return dm.dmDriverVersion;
    case DC_COPIES:
        return 999;
    case DC_ORIENTATION:
        return 90;
    case DC_DUPLEX:
    case DC_COLLATE:
    case DC_COLORDEVICE:
    case DC_BINS:
    case DC_BINNAMES:
    case DC_FILEDEPENDENCIES:
        return 0;
    case DC_PAPERS:
        if (output)
            *static_cast<WORD*>(output) = DMPAPER_A4;
        return 1;
    case DC_PAPERNAMES:
        return OneName(output, 64, L"A4");
    case DC_PAPERSIZE: // tenths of a millimetre
        if (output) {
            POINT* size = static_cast<POINT*>(output);
            size->x = 2100;
            size->y = 2970;
        }
        return 1;
    case DC_MINEXTENT:
    case DC_MAXEXTENT:
        return MAKELONG(2100, 2970);
    case DC_ENUMRESOLUTIONS:
        if (output) {
            LONG* pair = static_cast<LONG*>(output);
            pair[0] = pair[1] = Resolution;
        }
        return 1;
    default:
        return GDI_ERROR;
    }
}
