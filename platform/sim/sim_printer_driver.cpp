// GetPrinterDriverW: the driver description of an open printer.
#include "machine.h"
#include "sim_win32.h"

using namespace sim;

// No environment means the caller's own, "Windows x64" for this program.
BOOL GetPrinterDriverW(HANDLE printer, LPWSTR environment, DWORD level, LPBYTE buffer,
                       DWORD size, LPDWORD needed) {
    if (Enter("GetPrinterDriverW") || SpoolerDown())
        return FALSE;
    Handle* h = FindHandle(printer, HandleKind::Printer);
    if (!h) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Printer* p = h->name.empty() ? nullptr : FindPrinter(h->name);
    if (!p) {
        SetError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    Text dir = EnvironmentDirectory(environment);
    if (dir.empty()) {
        SetError(ERROR_INVALID_ENVIRONMENT);
        return FALSE;
    }
    if (level != 2) {
        SetError(ERROR_INVALID_LEVEL); // the installer asks for level 2 only
        return FALSE;
    }
    Text env = dir == u"x64" ? Text(u"Windows x64") : Text(u"Windows NT x86");
    const Driver* d = nullptr;
    for (const Driver& candidate : M().drivers)
        if (Upper(candidate.name) == Upper(p->driver) && Upper(candidate.environment) == Upper(env))
            d = &candidate;
    if (!d) {
        SetError(ERROR_UNKNOWN_PRINTER_DRIVER);
        return FALSE;
    }
    size_t bytes = sizeof(DRIVER_INFO_2W) + StringBytes(d->name) + StringBytes(d->environment) +
                   StringBytes(d->driverPath) + StringBytes(d->dataFile) +
                   StringBytes(d->configFile);
    if (needed)
        *needed = static_cast<DWORD>(bytes);
    if (!buffer || size < bytes) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    DRIVER_INFO_2W* r = reinterpret_cast<DRIVER_INFO_2W*>(buffer);
    size_t offset = sizeof(DRIVER_INFO_2W);
    *r = DRIVER_INFO_2W{};
    r->cVersion = d->version;
    r->pName = PackString(buffer, offset, d->name);
    r->pEnvironment = PackString(buffer, offset, d->environment);
    r->pDriverPath = PackString(buffer, offset, d->driverPath);
    r->pDataFile = PackString(buffer, offset, d->dataFile);
    r->pConfigFile = PackString(buffer, offset, d->configFile);
    return TRUE;
}
