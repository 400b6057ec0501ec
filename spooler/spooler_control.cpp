#include "spooler/spooler_control.h"

#include "common/call_buffer.h"
#include "run/install_context.h"
#include "run/install_log.h"

namespace {

const DWORD ManagerAccess = STANDARD_RIGHTS_REQUIRED | SC_MANAGER_CONNECT; // 0xF0001
const DWORD RestartAccess = SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS;
const DWORD CheckAccess = SERVICE_START | SERVICE_QUERY_STATUS;
const DWORD PollInterval = 200;
const int PollCount = 50;

// Polls until the service reports `state`, at most PollCount sleeps.
bool WaitForState(SC_HANDLE service, SERVICE_STATUS& status, DWORD state) {
    QueryServiceStatus(service, &status);
    for (int i = 0; i < PollCount; ++i) {
        if (status.dwCurrentState == state)
            return true;
        Sleep(PollInterval);
        QueryServiceStatus(service, &status);
    }
    return status.dwCurrentState == state;
}

// The id of the service's process while it has one; 0 when it cannot be told.
DWORD SpoolerProcessId(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                              sizeof status, &needed))
        return 0;
    return status.dwProcessId;
}

// The service's process, opened before the stop: once it has ended, Windows
// may give its id to another process, which a wait by id would then wait on.
// Null when there is none or it cannot be opened (nothing to wait for then).
HANDLE OpenServiceProcess(SC_HANDLE service) {
    DWORD processId = SpoolerProcessId(service);
    return processId ? OpenProcess(SYNCHRONIZE, FALSE, processId) : nullptr;
}

// A service reports STOPPED before its process has ended, and the DLLs that
// process loaded stay mapped until it has. Waits for that, as long as the
// stop's budget has left since `started`.
void WaitForProcessEnd(HANDLE process, DWORD started) {
    DWORD spent = GetTickCount() - started;
    DWORD budget = PollInterval * PollCount;
    if (process && spent < budget)
        WaitForSingleObject(process, budget - spent);
}

// Stops one service and waits until it has; its error when that fails.
DWORD StopService(SC_HANDLE manager, const WCHAR* name) {
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!service)
        return GetLastError();
    SERVICE_STATUS status = {};
    DWORD code =
        ControlService(service, SERVICE_CONTROL_STOP, &status) ? ERROR_SUCCESS : GetLastError();
    if (code == ERROR_SUCCESS && !WaitForState(service, status, SERVICE_STOPPED))
        code = ERROR_SERVICE_REQUEST_TIMEOUT;
    CloseServiceHandle(service);
    return code;
}

// The running services that depend on the spooler, in the order to stop them.
void ListDependents(SpoolerRestart& restart) {
    SC_HANDLE spooler = OpenServiceW(restart.manager, W("spooler"), SERVICE_ENUMERATE_DEPENDENTS);
    if (!spooler)
        return;
    DWORD count = 0;
    CallBuffer answer = ReadCallBuffer(
        [spooler, &count](LPBYTE block, DWORD size, DWORD* needed) {
            return EnumDependentServicesW(spooler, SERVICE_ACTIVE,
                                          reinterpret_cast<LPENUM_SERVICE_STATUSW>(block), size,
                                          needed, &count);
        },
        0, ERROR_MORE_DATA);
    CloseServiceHandle(spooler);
    if (answer.step != BufferStep::Read)
        return;
    restart.dependents = reinterpret_cast<ENUM_SERVICE_STATUSW*>(answer.block);
    restart.dependentCount = count;
}

// The service manager does not pass the spooler a stop while services that
// depend on it run (the Fax service on many editions): they go first.
void StopDependents(SpoolerRestart& restart) {
    ListDependents(restart);
    for (uint32_t i = 0; i < restart.dependentCount; ++i) {
        ENUM_SERVICE_STATUSW& dependent = restart.dependents[i];
        DWORD code = StopService(restart.manager, dependent.lpServiceName);
        if (code == ERROR_SUCCESS)
            dependent.ServiceStatus.dwCurrentState = SERVICE_STOPPED;
        if (!restart.context || code == ERROR_SERVICE_NOT_ACTIVE)
            continue;
        if (code == ERROR_SUCCESS)
            LogLine(*restart.context, W("Dependent service %s stopped"), dependent.lpServiceName);
        else
            LogError(*restart.context, ErrStopDependent, code, dependent.lpServiceName);
    }
}

// Starts again, in their start order, the dependent services stopped here.
void StartDependents(SpoolerRestart& restart) {
    for (uint32_t i = restart.dependentCount; i-- > 0;) {
        ENUM_SERVICE_STATUSW& dependent = restart.dependents[i];
        if (dependent.ServiceStatus.dwCurrentState != SERVICE_STOPPED)
            continue;
        // Stopped here, it must not stay stopped for one refusal: the open is
        // asked for twice, and the spooler's start and poll ask again too.
        SC_HANDLE service = nullptr;
        for (int attempt = 0; attempt < 2 && !service; ++attempt)
            service = OpenServiceW(restart.manager, dependent.lpServiceName,
                                   SERVICE_START | SERVICE_QUERY_STATUS);
        bool started = service && StartSpoolerAndWait(service);
        DWORD code = started ? ERROR_SUCCESS : GetLastError();
        if (service)
            CloseServiceHandle(service);
        if (restart.context && started)
            LogLine(*restart.context, W("Dependent service %s started"), dependent.lpServiceName);
        else if (restart.context)
            LogError(*restart.context, ErrStartDependent, code, dependent.lpServiceName);
    }
}

// Asks the spooler to stop and waits until it reports STOPPED.
bool StopSpooler(SpoolerRestart& restart) {
    SERVICE_STATUS status = {};
    // A stop that does not come about is put down to the refused control, if
    // it was refused; a service that accepted it and then stayed has no code.
    DWORD stopCode = ERROR_SUCCESS;
    if (!ControlService(restart.service, SERVICE_CONTROL_STOP, &status))
        stopCode = GetLastError();
    if (stopCode == ERROR_DEPENDENT_SERVICES_RUNNING) {
        StopDependents(restart);
        stopCode = ControlService(restart.service, SERVICE_CONTROL_STOP, &status) ? ERROR_SUCCESS
                                                                                  : GetLastError();
    }
    if (stopCode != ERROR_SUCCESS && stopCode != ERROR_SERVICE_NOT_ACTIVE && restart.context)
        LogError(*restart.context, ErrControlService, stopCode, stopCode, stopCode);
    restart.stopRequested = 1;
    if (WaitForState(restart.service, status, SERVICE_STOPPED))
        return true;
    if (restart.context)
        LogError(*restart.context, ErrStopSpooler, stopCode);
    return false;
}

} // namespace

// A start the service manager refused once (busy, timed out) is asked for
// again while the service still reports itself stopped: one refusal must not
// leave the machine without its spooler.
bool StartSpoolerAndWait(SC_HANDLE service) {
    StartServiceW(service, 0, nullptr);
    SERVICE_STATUS status = {};
    QueryServiceStatus(service, &status);
    for (int i = 0; i < PollCount; ++i) {
        if (status.dwCurrentState == SERVICE_RUNNING)
            return true;
        if (status.dwCurrentState == SERVICE_STOPPED)
            StartServiceW(service, 0, nullptr);
        Sleep(PollInterval);
        QueryServiceStatus(service, &status);
    }
    return status.dwCurrentState == SERVICE_RUNNING;
}

SpoolerRestart::SpoolerRestart(InstallContext* context)
    : context(context), manager(nullptr), service(nullptr), stopRequested(0), dependents(nullptr),
      dependentCount(0) {
    if (context)
        LogLine(*context, W(">Restart Spooler"));
    manager = OpenSCManagerW(nullptr, nullptr, ManagerAccess);
    if (!manager) {
        if (context)
            LogError(*context, ErrOpenServiceManager, GetLastError());
        return;
    }
    service = OpenServiceW(manager, W("spooler"), RestartAccess);
    if (!service) {
        if (context)
            LogError(*context, ErrOpenSpooler, GetLastError());
        return;
    }
    DWORD started = GetTickCount();
    HANDLE process = OpenServiceProcess(service);
    if (StopSpooler(*this))
        WaitForProcessEnd(process, started);
    if (process)
        CloseHandle(process);
}

SpoolerRestart::~SpoolerRestart() {
    if (service) {
        if (stopRequested && !StartSpoolerAndWait(service) && context)
            LogError(*context, ErrStartSpooler, GetLastError());
        StartDependents(*this);
        CloseServiceHandle(service);
    }
    if (manager)
        CloseServiceHandle(manager);
    GlobalFree(dependents);
}

void CheckSpooler(InstallContext& context) {
    LogLine(context, W(">Check Spooler"));
    LogScope scope(context);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, ManagerAccess);
    if (!manager) {
        LogError(context, ErrOpenServiceManager, GetLastError());
        return;
    }
    SC_HANDLE service = OpenServiceW(manager, W("spooler"), CheckAccess);
    if (!service) {
        LogError(context, ErrOpenSpooler, GetLastError());
    } else {
        SERVICE_STATUS status = {};
        if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_RUNNING &&
            !StartSpoolerAndWait(service))
            LogError(context, ErrStartSpooler, GetLastError());
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}
