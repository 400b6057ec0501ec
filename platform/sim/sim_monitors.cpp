// The spooler's port monitors: enumeration at levels 1 and 2, registration of
// a monitor DLL from the system directory and its removal. A registered
// monitor's DLL stays loaded in the spooler until the spooler stops.
#include "machine.h"
#include "sim_win32.h"

using namespace sim;

namespace {

Text Str(LPCWSTR text) {
    return text ? Text(text) : Text();
}

// Monitors are written for the server's architecture: only x64 here. No
// environment means the caller's own, which is x64 as well.
bool ServerEnvironment(LPCWSTR environment, DWORD& error) {
    Text dir = EnvironmentDirectory(environment);
    if (dir.empty() || dir != u"x64") {
        error = ERROR_INVALID_ENVIRONMENT;
        return false;
    }
    return true;
}

bool PortInUse(const Monitor& monitor) {
    if (monitor.name.empty() || monitor.name.back() != u':')
        return false;
    Text port = Upper(monitor.name);
    for (const Printer& p : M().printers) {
        Text list = Upper(p.port);
        size_t start = 0;
        for (;;) {
            size_t end = list.find(u',', start);
            if (list.substr(start, end == Text::npos ? Text::npos : end - start) == port)
                return true;
            if (end == Text::npos)
                break;
            start = end + 1;
        }
    }
    return false;
}

} // namespace

namespace sim {

Monitor* FindMonitor(const Text& name) {
    for (Monitor& m : M().monitors)
        if (Upper(m.name) == Upper(name))
            return &m;
    return nullptr;
}

} // namespace sim

BOOL EnumMonitorsW(LPWSTR server, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                   LPDWORD returned) {
    if (Enter("EnumMonitorsW") || SpoolerDown())
        return FALSE;
    if (!EnumArgumentsValid(server, needed, returned))
        return FALSE;
    if (level != 1 && level != 2) {
        SetError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    const std::vector<Monitor>& monitors = M().monitors;
    size_t record = level == 1 ? sizeof(MONITOR_INFO_1W) : sizeof(MONITOR_INFO_2W);
    size_t bytes = 0;
    for (const Monitor& m : monitors) {
        bytes += record + StringBytes(m.name);
        if (level == 2)
            bytes += StringBytes(m.environment) + StringBytes(m.dll);
    }
    *needed = static_cast<DWORD>(bytes);
    if (bytes > size || (bytes && !buffer)) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    size_t offset = monitors.size() * record;
    for (size_t i = 0; i < monitors.size(); ++i) {
        const Monitor& m = monitors[i];
        if (level == 1) {
            reinterpret_cast<MONITOR_INFO_1W*>(buffer)[i].pName =
                PackString(buffer, offset, m.name);
        } else {
            MONITOR_INFO_2W& r = reinterpret_cast<MONITOR_INFO_2W*>(buffer)[i];
            r.pName = PackString(buffer, offset, m.name);
            r.pEnvironment = PackString(buffer, offset, m.environment);
            r.pDLLName = PackString(buffer, offset, m.dll);
        }
    }
    *returned = static_cast<DWORD>(monitors.size());
    return TRUE;
}

// Documented: level 2 only, the environment must be the server's, and every
// file of the monitor must already lie in the system directory. The spooler
// loads the DLL at once and keeps it loaded.
BOOL AddMonitorW(LPWSTR server, DWORD level, LPBYTE info) {
    if (Enter("AddMonitorW") || SpoolerDown())
        return FALSE;
    if (server && server[0]) {
        SetError(ERROR_INVALID_NAME);
        return FALSE;
    }
    if (level != 2) {
        SetError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    const MONITOR_INFO_2W* r = reinterpret_cast<const MONITOR_INFO_2W*>(info);
    if (!r || Str(r->pName).empty() || Str(r->pDLLName).empty()) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD error = 0;
    if (!ServerEnvironment(r->pEnvironment, error)) {
        SetError(error);
        return FALSE;
    }
    if (FindMonitor(r->pName)) {
        SetError(ERROR_PRINT_MONITOR_ALREADY_INSTALLED);
        return FALSE;
    }
    File* dll = FindFile(M().systemDir + u"\\" + r->pDLLName);
    if (!dll || dll->directory) {
        SetError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    dll->loadedBySpooler = M().spoolerHoldsMonitors;
    M().monitors.push_back(Monitor{r->pName, u"Windows x64", r->pDLLName});
    return TRUE;
}

// The monitor goes, its DLL stays loaded until the spooler stops. A monitor
// whose port a printer still uses cannot be deleted.
BOOL DeleteMonitorW(LPWSTR server, LPWSTR environment, LPWSTR name) {
    if (Enter("DeleteMonitorW") || SpoolerDown())
        return FALSE;
    if (server && server[0]) {
        SetError(ERROR_INVALID_NAME);
        return FALSE;
    }
    if (Str(name).empty()) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD error = 0;
    if (!ServerEnvironment(environment, error)) {
        SetError(error);
        return FALSE;
    }
    Monitor* monitor = FindMonitor(name);
    if (!monitor) {
        SetError(ERROR_UNKNOWN_PRINT_MONITOR);
        return FALSE;
    }
    if (M().monitorBusyUntilRestart || PortInUse(*monitor)) {
        SetError(ERROR_PRINT_MONITOR_IN_USE);
        return FALSE;
    }
    std::vector<Monitor>& monitors = M().monitors;
    monitors.erase(monitors.begin() + (monitor - monitors.data()));
    return TRUE;
}
