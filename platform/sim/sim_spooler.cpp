// The print spooler's directory query and the checks that every spooler call
// shares.
#include "machine.h"
#include "sim_win32.h"

using namespace sim;

namespace sim {

bool SpoolerDown() {
    if (M().spooler.state == SERVICE_RUNNING)
        return false;
    SetError(RPC_S_SERVER_UNAVAILABLE);
    return true;
}

bool EnumArgumentsValid(LPWSTR server, LPDWORD needed, LPDWORD returned) {
    if (!needed || !returned) {
        SetError(RPC_X_NULL_REF_POINTER);
        return false;
    }
    *needed = 0;
    *returned = 0;
    if (server && server[0]) {
        SetError(ERROR_INVALID_NAME);
        return false;
    }
    return true;
}

// Environment names compare without regard to case; no name means the
// caller's own environment, which is x64 for this 64-bit program.
Text EnvironmentDirectory(LPCWSTR environment) {
    if (!environment || !environment[0])
        return u"x64";
    Text e = Upper(environment);
    if (e == u"WINDOWS X64")
        return u"x64";
    if (e == u"WINDOWS NT X86")
        return u"W32X86";
    return Text();
}

} // namespace sim

BOOL GetPrinterDriverDirectoryW(LPWSTR server, LPWSTR environment, DWORD level, LPBYTE buffer,
                                DWORD size, LPDWORD needed) {
    if (Enter("GetPrinterDriverDirectoryW") || SpoolerDown())
        return FALSE;
    if (server && server[0]) {
        SetError(ERROR_INVALID_NAME);
        return FALSE;
    }
    Text dir = EnvironmentDirectory(environment);
    if (dir.empty()) {
        SetError(ERROR_INVALID_ENVIRONMENT);
        return FALSE;
    }
    if (level != 1) {
        SetError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    Text path =
        M().driverDirectory.empty() ? M().spoolDriverRoot + u"\\" + dir : M().driverDirectory;
    if (!buffer && size == 0 && M().driverDirectorySizeQuerySucceeds)
        return TRUE;
    DWORD bytes = static_cast<DWORD>((path.size() + 1) * sizeof(WCHAR));
    if (needed)
        *needed = bytes;
    if (!buffer || size < bytes) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    WCHAR* out = reinterpret_cast<WCHAR*>(buffer);
    for (size_t i = 0; i < path.size(); ++i)
        out[i] = path[i];
    out[path.size()] = 0;
    return TRUE;
}
