// The service control manager with its one service of interest, "spooler",
// and the services that depend on it. The spooler's state changes take a
// scripted number of status queries, as a real service reports STOP_PENDING
// or START_PENDING for a while.
#include "machine.h"
#include "sim_win32.h"

#include <vector>

using namespace sim;

namespace sim {
// The spooler process ends: what it held loaded is released, except what a
// test scripted to stay locked. Areas that model more of it extend this.
void OnSpoolerStopped() {
    for (auto& entry : M().files)
        if (entry.second.loadedBySpooler && !entry.second.lockedThroughRestart)
            entry.second.loadedBySpooler = false;
    M().monitorBusyUntilRestart = false;
    M().driverBusyUntilRestart = false;
}
// Documented ("Initializing a Print Monitor"): when the spooler starts, it
// loads every installed monitor DLL, which it then keeps loaded.
void OnSpoolerStarted() {
    if (!M().spoolerHoldsMonitors)
        return;
    for (const Monitor& monitor : M().monitors) {
        File* dll = FindFile(M().systemDir + u"\\" + monitor.dll);
        if (dll && !dll->directory)
            dll->loadedBySpooler = true;
    }
}

void SpoolerProcessCatchUp() {
    Service& s = M().spooler;
    if (s.exitingId && static_cast<int32_t>(s.exitsAt - M().tick) <= 0) {
        bool held = false;
        for (const auto& entry : M().handles)
            held |= entry.second.kind == HandleKind::Process &&
                    static_cast<DWORD>(entry.second.owner) == s.exitingId;
        if (!held)
            s.reusedId = s.exitingId;
        s.exitingId = 0;
        OnSpoolerStopped();
    }
}
} // namespace sim

namespace {

// The service reports STOPPED as its process starts to end; a new start
// gets a new process (after the old one is gone).
void Settle(Service& s, DWORD state) {
    s.state = state;
    if (state == SERVICE_STOPPED) {
        ++s.stopsSeen;
        s.exitingId = s.processId;
        s.exitsAt = M().tick + s.exitDelayMs;
        s.processId = 0;
        SpoolerProcessCatchUp();
    } else if (state == SERVICE_RUNNING) {
        ++s.startsSeen;
        if (s.exitingId) {
            s.exitsAt = M().tick;
            SpoolerProcessCatchUp();
        }
        s.processId = 20000 + 4 * static_cast<DWORD>(s.startsSeen);
        OnSpoolerStarted();
    }
}

void FillStatus(const Service& s, LPSERVICE_STATUS status) {
    if (!status)
        return;
    *status = SERVICE_STATUS{};
    status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status->dwCurrentState = s.state;
    status->dwControlsAccepted = s.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
}

// The SCM fills the caller's status on failure only for these codes.
bool FillsStatusOnFailure(DWORD code) {
    return code == ERROR_INVALID_SERVICE_CONTROL || code == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ||
           code == ERROR_SERVICE_NOT_ACTIVE;
}

Handle* ServiceHandle(SC_HANDLE h) {
    return FindHandle(reinterpret_cast<HANDLE>(h), HandleKind::Service);
}

Service* Dependent(const Text& name) {
    for (Service& s : M().dependents)
        if (Upper(s.name) == Upper(name))
            return &s;
    return nullptr;
}

// The service a handle was opened for: the spooler, or one that depends on it.
Service& ServiceOf(const Handle& h) {
    Service* dependent = Dependent(h.name);
    return dependent ? *dependent : M().spooler;
}

// A handle that may query the service's status, or null with the error set.
Handle* QueryHandle(SC_HANDLE service) {
    Handle* h = ServiceHandle(service);
    if (!h)
        SetError(ERROR_INVALID_HANDLE);
    else if (!(h->access & SERVICE_QUERY_STATUS))
        SetError(ERROR_ACCESS_DENIED);
    else
        return h;
    return nullptr;
}

} // namespace

SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access) {
    if (Enter("OpenSCManagerW"))
        return nullptr;
    if (machine && machine[0]) {
        SetError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    if (database && Upper(database) != u"SERVICESACTIVE") {
        SetError(ERROR_DATABASE_DOES_NOT_EXIST);
        return nullptr;
    }
    if (M().managerAccessDenied) {
        SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return reinterpret_cast<SC_HANDLE>(NewHandle(HandleKind::ScManager, u"SCM", access));
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access) {
    if (Enter("OpenServiceW"))
        return nullptr;
    if (!FindHandle(reinterpret_cast<HANDLE>(manager), HandleKind::ScManager)) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!name || !name[0]) {
        SetError(ERROR_INVALID_NAME);
        return nullptr;
    }
    Service* dependent = Dependent(name);
    if ((Upper(name) != u"SPOOLER" || !M().spooler.exists) && !dependent) {
        SetError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    if (M().serviceAccessDenied) {
        SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    Text opened = dependent ? dependent->name : Text(u"spooler");
    return reinterpret_cast<SC_HANDLE>(NewHandle(HandleKind::Service, opened, access));
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    if (Enter("ControlService"))
        return FALSE;
    Handle* h = ServiceHandle(service);
    if (!h) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Service& s = ServiceOf(*h);
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_INTERROGATE) {
        FillStatus(s, status);
        SetError(ERROR_INVALID_SERVICE_CONTROL);
        return FALSE;
    }
    if (control == SERVICE_CONTROL_STOP && !(h->access & SERVICE_STOP)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (M().controlError && &s == &M().spooler) {
        if (FillsStatusOnFailure(M().controlError))
            FillStatus(s, status);
        SetError(M().controlError);
        return FALSE;
    }
    if (s.state == SERVICE_STOPPED) {
        FillStatus(s, status);
        SetError(ERROR_SERVICE_NOT_ACTIVE);
        return FALSE;
    }
    if (s.state != SERVICE_RUNNING) {
        FillStatus(s, status);
        SetError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        return FALSE;
    }
    // Documented ("Stopping a Service"): the stop is not forwarded while a
    // service that depends on this one runs.
    if (control == SERVICE_CONTROL_STOP && &s == &M().spooler)
        for (const Service& d : M().dependents)
            if (d.state != SERVICE_STOPPED) {
                SetError(ERROR_DEPENDENT_SERVICES_RUNNING);
                return FALSE;
            }
    if (control == SERVICE_CONTROL_STOP && !s.ignoresStop && &s != &M().spooler) {
        s.state = SERVICE_STOPPED; // a dependent stops at once
    } else if (control == SERVICE_CONTROL_STOP && !s.ignoresStop) {
        if (s.pollsToStop > 0) {
            s.state = SERVICE_STOP_PENDING;
            s.pendingPolls = s.pollsToStop;
        } else {
            Settle(s, SERVICE_STOPPED);
        }
    }
    FillStatus(s, status);
    return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    if (Enter("QueryServiceStatus"))
        return FALSE;
    Handle* h = QueryHandle(service);
    if (!h)
        return FALSE;
    if (!status) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Service& s = ServiceOf(*h);
    // pendingPolls queries still see the pending state; the next one sees it settled.
    if (s.state == SERVICE_STOP_PENDING || s.state == SERVICE_START_PENDING) {
        if (s.pendingPolls > 0)
            --s.pendingPolls;
        else
            Settle(s, s.state == SERVICE_STOP_PENDING ? SERVICE_STOPPED : SERVICE_RUNNING);
    }
    FillStatus(s, status);
    return TRUE;
}

// Documented: the buffer must hold a SERVICE_STATUS_PROCESS (else
// ERROR_INSUFFICIENT_BUFFER with the size needed); the process id is 0 while
// the service is not running in a process of its own.
BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE level, LPBYTE buffer, DWORD size,
                          LPDWORD needed) {
    if (Enter("QueryServiceStatusEx"))
        return FALSE;
    if (!QueryHandle(service))
        return FALSE;
    if (level != SC_STATUS_PROCESS_INFO) {
        SetError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (!needed) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *needed = sizeof(SERVICE_STATUS_PROCESS);
    if (!buffer || size < sizeof(SERVICE_STATUS_PROCESS)) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    SERVICE_STATUS status;
    FillStatus(M().spooler, &status);
    SERVICE_STATUS_PROCESS* out = reinterpret_cast<SERVICE_STATUS_PROCESS*>(buffer);
    *out = SERVICE_STATUS_PROCESS{};
    out->dwServiceType = status.dwServiceType;
    out->dwCurrentState = status.dwCurrentState;
    out->dwControlsAccepted = status.dwControlsAccepted;
    out->dwProcessId = status.dwCurrentState == SERVICE_STOPPED ? 0 : M().spooler.processId;
    return TRUE;
}

BOOL StartServiceW(SC_HANDLE service, DWORD, LPCWSTR*) {
    if (Enter("StartServiceW"))
        return FALSE;
    Handle* h = ServiceHandle(service);
    if (!h) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(h->access & SERVICE_START)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    Service& s = ServiceOf(*h);
    Service& spooler = M().spooler;
    if (s.state != SERVICE_STOPPED) {
        SetError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    if (s.refusesStart) {
        SetError(ERROR_SERVICE_DISABLED);
        return FALSE;
    }
    if (&s != &spooler) {
        // The service manager starts what a service depends on first.
        if (spooler.state == SERVICE_STOPPED && spooler.refusesStart) {
            SetError(ERROR_SERVICE_DEPENDENCY_FAIL);
            return FALSE;
        }
        if (spooler.state == SERVICE_STOPPED)
            Settle(spooler, SERVICE_RUNNING);
        s.state = SERVICE_RUNNING;
        return TRUE;
    }
    if (s.pollsToStart > 0) {
        s.state = SERVICE_START_PENDING;
        s.pendingPolls = s.pollsToStart;
    } else {
        Settle(s, SERVICE_RUNNING);
    }
    return TRUE;
}

// Documented: the handle needs SERVICE_ENUMERATE_DEPENDENTS; entries in the
// reverse of the start order, records first, their strings after them;
// ERROR_MORE_DATA with the size needed when they do not fit.
BOOL EnumDependentServicesW(SC_HANDLE service, DWORD state, LPENUM_SERVICE_STATUSW services,
                            DWORD size, LPDWORD needed, LPDWORD returned) {
    if (Enter("EnumDependentServicesW"))
        return FALSE;
    Handle* h = ServiceHandle(service);
    if (!h) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(h->access & SERVICE_ENUMERATE_DEPENDENTS)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!needed || !returned || state < SERVICE_ACTIVE || state > SERVICE_STATE_ALL) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<const Service*> listed;
    if (&ServiceOf(*h) == &M().spooler)
        for (const Service& d : M().dependents)
            if (state & (d.state != SERVICE_STOPPED ? SERVICE_ACTIVE : SERVICE_INACTIVE))
                listed.push_back(&d);
    size_t bytes = listed.size() * sizeof(ENUM_SERVICE_STATUSW);
    for (const Service* d : listed)
        bytes += StringBytes(d->name) + StringBytes(d->displayName);
    *returned = 0;
    if (bytes > size || (bytes && !services)) {
        *needed = static_cast<DWORD>(bytes);
        SetError(ERROR_MORE_DATA);
        return FALSE;
    }
    LPBYTE block = reinterpret_cast<LPBYTE>(services);
    size_t offset = listed.size() * sizeof(ENUM_SERVICE_STATUSW);
    for (size_t i = 0; i < listed.size(); ++i) {
        services[i].lpServiceName = PackString(block, offset, listed[i]->name);
        services[i].lpDisplayName = PackString(block, offset, listed[i]->displayName);
        FillStatus(*listed[i], &services[i].ServiceStatus);
    }
    *returned = static_cast<DWORD>(listed.size());
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    Enter("CloseServiceHandle");
    auto it = M().handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == M().handles.end() ||
        (it->second.kind != HandleKind::Service && it->second.kind != HandleKind::ScManager)) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    M().handles.erase(it);
    return TRUE;
}
