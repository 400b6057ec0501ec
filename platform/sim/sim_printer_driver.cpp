// GetPrinterDriverW: the driver description of an open printer.
#include "machine.h"
#include "sim_win32.h"

#include <cstring>

using namespace sim;

// No environment means the caller's own, "Windows x64" for this program.
BOOL GetPrinterDriverW(HANDLE printer, LPWSTR environment, DWORD level, LPBYTE buffer, DWORD size,
                       LPDWORD needed) {
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
    // Levels 1 to 6 as EnumPrinterDriversW gives them; level 8 is not modelled.
    size_t record = DriverRecordSize(level);
    if (record == 0) {
        SetError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    Text env = dir == u"x64" ? Text(u"Windows x64") : Text(u"Windows NT x86");
    const Driver* d = FindDriver(p->driver, env);
    if (!d) {
        SetError(ERROR_UNKNOWN_PRINTER_DRIVER);
        return FALSE;
    }
    size_t bytes = record + DriverStringBytes(*d, level);
    if (needed)
        *needed = static_cast<DWORD>(bytes);
    if (!buffer || size < bytes) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memset(buffer, 0, record);
    size_t offset = record;
    PackDriver(*d, level, buffer, buffer, offset);
    return TRUE;
}
