// System message texts (English, as FormatMessageW gives them with language
// 1033, line end included) and the ANSI code page (Windows-1252).
#include "machine.h"
#include "sim_win32.h"

#include <map>
#include <string>

using namespace sim;

namespace {

const std::map<DWORD, const char*>& MessageTable() {
    static const std::map<DWORD, const char*> table = {
        {0, "The operation completed successfully."},
        {1, "Incorrect function."},
        {2, "The system cannot find the file specified."},
        {3, "The system cannot find the path specified."},
        {5, "Access is denied."},
        {6, "The handle is invalid."},
        {8, "Not enough memory resources are available to process this command."},
        {13, "The data is invalid."},
        {14, "Not enough memory resources are available to complete this operation."},
        {29, "The system cannot write to the specified device."},
        {30, "The system cannot read from the specified device."},
        {32, "The process cannot access the file because it is being used by another process."},
        {33, "The process cannot access the file because another process has locked a portion of "
             "the file."},
        {38, "Reached the end of the file."},
        {39, "The disk is full."},
        {50, "The request is not supported."},
        {80, "The file exists."},
        {87, "The parameter is incorrect."},
        {112, "There is not enough space on the disk."},
        {122, "The data area passed to a system call is too small."},
        {123, "The filename, directory name, or volume label syntax is incorrect."},
        {124, "The system call level is not correct."},
        {126, "The specified module could not be found."},
        {127, "The specified procedure could not be found."},
        {161, "The specified path is invalid."},
        {183, "Cannot create a file when that file already exists."},
        {206, "The filename or extension is too long."},
        {234, "More data is available."},
        {258, "The wait operation timed out."},
        {259, "No more data is available."},
        {1051, "A stop control has been sent to a service that other running services are "
               "dependent on."},
        {1052, "The requested control is not valid for this service."},
        {1053, "The service did not respond to the start or control request in a timely fashion."},
        {1056, "An instance of the service is already running."},
        {1058, "The service cannot be started, either because it is disabled or because it has "
               "no enabled devices associated with it."},
        {1060, "The specified service does not exist as an installed service."},
        {1061, "The service cannot accept control messages at this time."},
        {1062, "The service has not been started."},
        {1065, "The database specified does not exist."},
        {1068, "The dependency service or group failed to start."},
        {1115, "A system shutdown is in progress."},
        {1168, "Element not found."},
        {1332, "No mapping between account names and security IDs was done."},
        {1400, "Invalid window handle."},
        {1460, "This operation returned because the timeout period expired."},
        {1722, "The RPC server is unavailable."},
        {1726, "The remote procedure call failed."},
        {1795, "The printer driver already exists."},
        {1796, "The specified port is unknown."},
        {1797, "The printer driver is unknown."},
        {1798, "The print processor is unknown."},
        {1799, "The specified separator file is invalid."},
        {1801, "The printer name is invalid."},
        {1802, "The printer already exists."},
        {1803, "The printer command is invalid."},
        {1804, "The specified datatype is invalid."},
        {1805, "The environment specified is invalid."},
        {1813, "The specified resource type cannot be found in the image file."},
        {1906, "The printer state is invalid."},
        {2114, "The Server service is not started."},
        {3000, "The specified print monitor is unknown."},
        {3001, "The specified printer driver is currently in use."},
        {3002, "The spool file was not found."},
        {3006, "The specified print monitor has already been installed."},
        {3007, "The specified print monitor does not have the required functions."},
        {3008, "The specified print monitor is currently in use."},
        {3012, "There are no printers."},
        {0x80004005, "Unspecified error"},
        {0x8007000E, "Not enough memory resources are available to complete this operation."},
    };
    return table;
}

// Windows-1252's 0x80..0x9F; the five unassigned bytes map to the same code point.
const char16_t cp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t FromCp1252(unsigned char c) {
    if (c >= 0x80 && c < 0xA0)
        return cp1252High[c - 0x80];
    return c;
}

const DWORD ERROR_MR_MID_NOT_FOUND = 317;

} // namespace

namespace sim {
bool HasSystemText(DWORD code) {
    return MessageTable().count(code) != 0;
}
} // namespace sim

// Only the forms the installer uses: from the system table, inserts ignored,
// either into the caller's buffer or into one that LocalAlloc provides.
DWORD FormatMessageW(DWORD flags, LPCVOID, DWORD messageId, DWORD languageId, LPWSTR buffer,
                     DWORD size, void*) {
    if (Enter("FormatMessageW"))
        return 0;
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !buffer) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER)
        *reinterpret_cast<LPWSTR*>(buffer) = nullptr;
    // A language asked for must be there; 0 takes the system's own.
    DWORD language = M().messageLanguage;
    if (languageId != 0 && languageId != language) {
        SetError(ERROR_RESOURCE_LANG_NOT_FOUND);
        return 0;
    }
    auto it = MessageTable().find(messageId);
    if (it == MessageTable().end()) {
        SetError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    Text text = Widen(it->second) + u"\r\n";
    // Another language's text, as tests can tell it: the English one behind its tag.
    if (language != 1033)
        text = u"[" + Widen(std::to_string(language)) + u"] " + text;
    DWORD n = static_cast<DWORD>(text.size());
    LPWSTR out = buffer;
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        DWORD units = n + 1 > size ? n + 1 : size;
        out = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, units * sizeof(WCHAR)));
        if (!out) {
            SetError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        *reinterpret_cast<LPWSTR*>(buffer) = out;
    } else if (size < n + 1) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (DWORD i = 0; i < n; ++i)
        out[i] = text[i];
    out[n] = 0;
    return n;
}

// Counts of -1 mean "up to the terminator". Ordinal: code unit by code unit,
// after the simple upper case when asked to ignore it.
int CompareStringOrdinal(LPCWSTR a, int aCount, LPCWSTR b, int bCount, BOOL ignoreCase) {
    if (Enter("CompareStringOrdinal"))
        return 0;
    if (!a || !b || aCount < -1 || bCount < -1) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Text x = aCount < 0 ? Text(a) : Text(a, static_cast<size_t>(aCount));
    Text y = bCount < 0 ? Text(b) : Text(b, static_cast<size_t>(bCount));
    if (ignoreCase) {
        x = UpperName(x);
        y = UpperName(y);
    }
    return x < y ? CSTR_LESS_THAN : x == y ? CSTR_EQUAL : CSTR_GREATER_THAN;
}

int MultiByteToWideChar(UINT codePage, DWORD, LPCSTR text, int bytes, LPWSTR wide, int wideChars) {
    if (Enter("MultiByteToWideChar"))
        return 0;
    if (!text || bytes == 0 || wideChars < 0 || (wide == nullptr && wideChars != 0) ||
        (codePage != CP_ACP && codePage != 1252)) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // With -1 the terminator is converted and counted too.
    int count = bytes;
    if (bytes < 0) {
        count = 0;
        while (text[count])
            ++count;
        ++count;
    }
    if (wideChars == 0)
        return count;
    if (wideChars < count) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (int i = 0; i < count; ++i)
        wide[i] = FromCp1252(static_cast<unsigned char>(text[i]));
    return count;
}
