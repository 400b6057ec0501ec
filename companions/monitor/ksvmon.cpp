// ksvmon64.dll: the port monitor "Kestrovane:". The spooler loads it from the
// system directory and calls InitializePrintMonitor2; the monitor offers one
// port of its own name, accepts jobs on it and discards what they write
// (the product's real output path lies outside this installer's scope).
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <cstring>

namespace {

const WCHAR PortName[] = L"Kestrovane:";
const WCHAR MonitorName[] = L"Kestrovane:";
const WCHAR Description[] = L"Kestrovane virtual printer port";

struct Port {
    HANDLE printer; // the job's printer, to report the job done
    DWORD job;
    bool inJob;
};

size_t Bytes(const WCHAR* text) {
    return (lstrlenW(text) + 1) * sizeof(WCHAR);
}

// Copies a string to the end of the free room and returns where it went:
// the spooler's layout, records at the front and strings packed at the back.
LPWSTR PackBack(LPBYTE& end, const WCHAR* text) {
    size_t n = Bytes(text);
    end -= n;
    std::memcpy(end, text, n);
    return reinterpret_cast<LPWSTR>(end);
}

BOOL WINAPI KsvEnumPorts(HANDLE, LPWSTR name, DWORD level, LPBYTE ports, DWORD size, LPDWORD needed,
                         LPDWORD returned) {
    if (!needed || !returned) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *returned = 0;
    if (name && name[0]) {
        SetLastError(ERROR_INVALID_NAME); // a local monitor knows no other server
        return FALSE;
    }
    DWORD bytes;
    if (level == 1)
        bytes = sizeof(PORT_INFO_1W) + Bytes(PortName);
    else if (level == 2)
        bytes = sizeof(PORT_INFO_2W) + Bytes(PortName) + Bytes(MonitorName) + Bytes(Description);
    else {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    *needed = bytes;
    if (!ports || size < bytes) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    LPBYTE end = ports + bytes;
    if (level == 1) {
        PORT_INFO_1W* info = reinterpret_cast<PORT_INFO_1W*>(ports);
        info->pName = PackBack(end, PortName);
    } else {
        PORT_INFO_2W* info = reinterpret_cast<PORT_INFO_2W*>(ports);
        info->pDescription = PackBack(end, Description);
        info->pMonitorName = PackBack(end, MonitorName);
        info->pPortName = PackBack(end, PortName);
        info->fPortType = PORT_TYPE_WRITE;
        info->Reserved = 0;
    }
    *returned = 1;
    return TRUE;
}

BOOL WINAPI KsvOpenPort(HANDLE, LPWSTR name, PHANDLE handle) {
    if (!handle || !name || lstrcmpW(name, PortName) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Port* port = static_cast<Port*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Port)));
    if (!port) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    *handle = port;
    return TRUE;
}

BOOL WINAPI KsvStartDocPort(HANDLE handle, LPWSTR printerName, DWORD job, DWORD, LPBYTE) {
    Port* port = static_cast<Port*>(handle);
    if (!port) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    port->printer = nullptr;
    OpenPrinterW(printerName, &port->printer, nullptr); // without it the job just stays listed
    port->job = job;
    port->inJob = true;
    return TRUE;
}

BOOL WINAPI KsvWritePort(HANDLE handle, LPBYTE, DWORD size, LPDWORD written) {
    if (!handle || !written) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *written = size; // accepted and discarded
    return TRUE;
}

BOOL WINAPI KsvReadPort(HANDLE, LPBYTE, DWORD, LPDWORD read) {
    if (read)
        *read = 0;
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

// Documented duty of a port monitor: tell the spooler the job has gone out.
BOOL WINAPI KsvEndDocPort(HANDLE handle) {
    Port* port = static_cast<Port*>(handle);
    if (!port) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (port->inJob && port->printer) {
        SetJobW(port->printer, port->job, 0, nullptr, JOB_CONTROL_SENT_TO_PRINTER);
        ClosePrinter(port->printer);
    }
    port->printer = nullptr;
    port->inJob = false;
    return TRUE;
}

BOOL WINAPI KsvClosePort(HANDLE handle) {
    Port* port = static_cast<Port*>(handle);
    if (port && port->printer)
        ClosePrinter(port->printer);
    HeapFree(GetProcessHeap(), 0, port);
    return TRUE;
}

VOID WINAPI KsvShutdown(HANDLE) {}

MONITOR2 monitor = {};

} // namespace

extern "C" LPMONITOR2 WINAPI InitializePrintMonitor2(PMONITORINIT init, PHANDLE handle) {
    if (!init || !handle) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    monitor.cbSize = sizeof(MONITOR2);
    monitor.pfnEnumPorts = KsvEnumPorts;
    monitor.pfnOpenPort = KsvOpenPort;
    monitor.pfnStartDocPort = KsvStartDocPort;
    monitor.pfnWritePort = KsvWritePort;
    monitor.pfnReadPort = KsvReadPort;
    monitor.pfnEndDocPort = KsvEndDocPort;
    monitor.pfnClosePort = KsvClosePort;
    monitor.pfnShutdown = KsvShutdown;
    *handle = &monitor; // one monitor instance per process is all there is
    return &monitor;
}
