#include "spooler/spooler_control.h"

#include "run/install_log.h"
#include "tests/support/test_machine.h"

#include <functional>
#include <set>

namespace {

const char* const Stopping = "Error(3): Can't stop the spooler";
const char* const Starting =
    "Error(4): Can't start the spooler - (The service cannot be started, either because it is "
    "disabled or because it has no enabled devices associated with it.)";

class SpoolerControlTest : public MachineTest {
  protected:
    InstallContext context{};
    void TearDown() override {
        Release(context.LogText);
        EXPECT_EQ(sim::LiveBlocks(), 0u);
        EXPECT_EQ(ScHandles(), 0u) << "every service handle is closed again";
        MachineTest::TearDown();
    }
    std::vector<std::string> Lines() const { return LogLines(context); }
    static size_t ScHandles() {
        return sim::OpenHandles(sim::HandleKind::ScManager) +
               sim::OpenHandles(sim::HandleKind::Service);
    }
    sim::Service& Spooler() { return sim::M().spooler; }
};

using Expected = std::vector<std::string>;

// The service control calls, and the sleeps between them, in their order.
std::vector<std::string> ServiceCalls() {
    static const std::set<std::string> names = {
        "OpenSCManagerW", "OpenServiceW", "ControlService",    "QueryServiceStatus",
        "StartServiceW",  "Sleep",        "CloseServiceHandle"};
    std::vector<std::string> calls;
    for (const std::string& call : sim::M().calls)
        if (names.count(call))
            calls.push_back(call);
    return calls;
}

} // namespace

TEST_F(SpoolerControlTest, RestartStopsForTheScopeAndStartsAfterwards) {
    {
        SpoolerRestart restart(&context);
        EXPECT_EQ(Spooler().state, static_cast<DWORD>(SERVICE_STOPPED));
        sim::Handle* manager = sim::FindHandle(restart.manager, sim::HandleKind::ScManager);
        sim::Handle* service = sim::FindHandle(restart.service, sim::HandleKind::Service);
        ASSERT_NE(manager, nullptr);
        ASSERT_NE(service, nullptr);
        EXPECT_EQ(manager->access, 0xF0001u);
        EXPECT_EQ(service->access, 0x34u);
        EXPECT_EQ(restart.stopRequested, 1);
    }
    EXPECT_EQ(Spooler().state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(Spooler().stopsSeen, 1);
    EXPECT_EQ(Spooler().startsSeen, 1);
    EXPECT_EQ(Lines(), (Expected{">Restart Spooler"}));
    EXPECT_EQ(context.ErrorCount, 0);
    EXPECT_EQ(context.LogDepth, 0);
    EXPECT_EQ(sim::M().sleptMs, 0u);
}

TEST_F(SpoolerControlTest, RestartOfAStoppedSpoolerStartsIt) {
    Spooler().state = SERVICE_STOPPED;
    {
        SpoolerRestart restart(&context);
        EXPECT_EQ(Spooler().state, static_cast<DWORD>(SERVICE_STOPPED));
    }
    EXPECT_EQ(Lines(), (Expected{">Restart Spooler"})) << "1062 from the stop is no error";
    EXPECT_EQ(Spooler().state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(sim::M().sleptMs, 0u);
}

TEST_F(SpoolerControlTest, RestartWaitsForASlowSpooler) {
    Spooler().pollsToStop = 3;
    Spooler().pollsToStart = 4;
    {
        SpoolerRestart restart(&context);
        EXPECT_EQ(Spooler().state, static_cast<DWORD>(SERVICE_STOPPED));
        EXPECT_EQ(sim::M().sleptMs, 600u);
    }
    EXPECT_EQ(Spooler().state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(sim::M().sleptMs, 1400u);
    EXPECT_EQ(context.ErrorCount, 0);

    // 50 pending polls still fit the wait; 51 do not.
    Spooler().pollsToStop = 50;
    Spooler().pollsToStart = 0;
    { SpoolerRestart restart(&context); }
    EXPECT_EQ(context.ErrorCount, 0);
    Spooler().pollsToStop = 51;
    { SpoolerRestart restart(&context); }
    ASSERT_GE(Lines().size(), 1u);
    EXPECT_EQ(Lines().back().substr(0, 32), Stopping);
    // The stop that came too late is followed by a new start request, so
    // the spooler runs again and no start failure is logged.
    EXPECT_EQ(context.ErrorCount, 1);
    EXPECT_EQ(Spooler().state, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(SpoolerControlTest, StartRefusedOnceIsAskedForAgain) {
    Spooler().state = SERVICE_STOPPED;
    sim::FailCall("StartServiceW", ERROR_SERVICE_REQUEST_TIMEOUT);
    { SpoolerRestart restart(&context); }
    EXPECT_EQ(Spooler().state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(context.ErrorCount, 0);
    EXPECT_EQ(sim::CallCount("StartServiceW"), 2);
    EXPECT_EQ(sim::M().sleptMs, 200u);
}

TEST_F(SpoolerControlTest, StopIgnoredForTenSecondsIsErrorThreeAndTheWorkStillRuns) {
    Spooler().ignoresStop = true;
    // An earlier call's failure (a refused DeleteMonitorW, say) is no reason
    // the stop gives: the line carries no description.
    SetLastError(ERROR_PRINT_MONITOR_IN_USE);
    bool workRan = false;
    int queriesInScope = 0;
    {
        SpoolerRestart restart(&context);
        workRan = true;
        EXPECT_EQ(sim::M().sleptMs, 10000u) << "50 polls of 200 ms";
        queriesInScope = sim::CallCount("QueryServiceStatus");
        EXPECT_EQ(queriesInScope, 51);
    }
    EXPECT_TRUE(workRan);
    EXPECT_EQ(Lines(), (Expected{">Restart Spooler", Stopping}));
    EXPECT_EQ(context.ErrorCount, 1);
    EXPECT_EQ(sim::CallCount("StartServiceW"), 1) << "the end still tries the start";
    EXPECT_EQ(sim::CallCount("QueryServiceStatus"), queriesInScope + 1)
        << "and sees the spooler running at once";
    EXPECT_EQ(sim::M().sleptMs, 10000u);
    EXPECT_EQ(Spooler().state, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(SpoolerControlTest, SpoolerThatWillNotStartAgainIsErrorFour) {
    Spooler().refusesStart = true;
    { SpoolerRestart restart(&context); }
    EXPECT_EQ(Lines(), (Expected{">Restart Spooler", Starting}));
    EXPECT_EQ(context.ErrorCount, 1);
    EXPECT_EQ(sim::M().sleptMs, 10000u);
    EXPECT_EQ(Spooler().state, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(SpoolerControlTest, RefusedManagerOrServiceLeavesTheSpoolerAlone) {
    sim::M().managerAccessDenied = true;
    { SpoolerRestart restart(&context); }
    EXPECT_EQ(Lines(), (Expected{">Restart Spooler",
                                 "Error(1): Can't open service manager. - (Access is denied.)"}));
    EXPECT_EQ(sim::CallCount("OpenServiceW"), 0);
    EXPECT_EQ(sim::CallCount("StartServiceW"), 0);
    EXPECT_EQ(sim::CallCount("CloseServiceHandle"), 0);

    sim::M().managerAccessDenied = false;
    sim::M().serviceAccessDenied = true;
    Release(context.LogText);
    { SpoolerRestart restart(&context); }
    EXPECT_EQ(Lines(), (Expected{">Restart Spooler",
                                 "Error(2): Can't open the spooler - (Access is denied.)"}));
    EXPECT_EQ(sim::CallCount("ControlService"), 0);
    EXPECT_EQ(sim::CallCount("StartServiceW"), 0);
    EXPECT_EQ(sim::CallCount("CloseServiceHandle"), 1) << "the end closes the manager only";
    EXPECT_EQ(context.ErrorCount, 2);
    EXPECT_EQ(Spooler().stopsSeen, 0);
    EXPECT_EQ(sim::M().sleptMs, 0u);
}

TEST_F(SpoolerControlTest, FailedStopControlIsErrorFiveUnlessAlreadyStopped) {
    // A stop already under way refuses the control; the wait sees it through.
    Spooler().state = SERVICE_STOP_PENDING;
    Spooler().pendingPolls = 2;
    { SpoolerRestart restart(&context); }
    EXPECT_EQ(Lines(), (Expected{">Restart Spooler",
                                 "Error(5): ControlService failed with code 1061 (0x425) - (The "
                                 "service cannot accept control messages at this time.)"}));
    EXPECT_EQ(sim::M().sleptMs, 400u);
    EXPECT_EQ(Spooler().state, static_cast<DWORD>(SERVICE_RUNNING));

    // A refused stop of a running spooler: error 5, then the wait runs out.
    Release(context.LogText);
    sim::M().controlError = ERROR_DEPENDENT_SERVICES_RUNNING;
    { SpoolerRestart restart(&context); }
    EXPECT_EQ(Lines(), (Expected{">Restart Spooler",
                                 "Error(5): ControlService failed with code 1051 (0x41b) - (A stop "
                                 "control has been sent to a service that other running services "
                                 "are dependent on.)",
                                 Stopping + std::string(" - (A stop control has been sent to a "
                                                        "service that other running services are "
                                                        "dependent on.)")}));

    Release(context.LogText);
    sim::M().controlError = ERROR_SERVICE_NOT_ACTIVE;
    { SpoolerRestart restart(&context); }
    EXPECT_EQ(Lines().size(), 2u);
    EXPECT_EQ(Lines()[1].substr(0, 32), Stopping) << "no error 5 for 1062";
    EXPECT_EQ(context.ErrorCount, 4);
}

// The service manager refuses the spooler's stop while a service that
// depends on it runs: those go first, in the order listed, and come back
// after the spooler in the reverse order; a stopped one is left alone.
TEST_F(SpoolerControlTest, ServicesThatDependOnTheSpoolerStopFirstAndStartAfter) {
    const char* const fax = "Dependent service Fax stopped";
    const char* const scan = "Dependent service Scan stopped";
    const struct {
        const char* what;
        std::function<void(sim::Service& fax)> prepare;
        Expected lines;
        DWORD faxAfter;
    } cases[] = {
        {"both run",
         [](sim::Service&) {},
         {">Restart Spooler", fax, scan, "Dependent service Scan started",
          "Dependent service Fax started"},
         SERVICE_RUNNING},
        {"one already stopped",
         [](sim::Service& f) { f.state = SERVICE_STOPPED; },
         {">Restart Spooler", scan, "Dependent service Scan started"},
         SERVICE_STOPPED},
        {"one will not start again",
         [](sim::Service& f) { f.refusesStart = true; },
         {">Restart Spooler", fax, scan, "Dependent service Scan started",
          "Error(27): Can't start the dependent service Fax - (The service cannot be started, "
          "either because it is disabled or because it has no enabled devices associated with "
          "it.)"},
         SERVICE_STOPPED},
        {"one will not stop",
         [](sim::Service& f) { f.ignoresStop = true; },
         {">Restart Spooler",
          "Error(26): Can't stop the dependent service Fax - (The service did not respond to the "
          "start or control request in a timely fashion.)",
          scan,
          "Error(5): ControlService failed with code 1051 (0x41b) - (A stop control has been sent "
          "to a service that other running services are dependent on.)",
          Stopping + std::string(" - (A stop control has been sent to a service that other "
                                 "running services are dependent on.)"),
          "Dependent service Scan started"},
         SERVICE_RUNNING},
    };
    for (const auto& c : cases) {
        Release(context.LogText);
        sim::Reset();
        sim::Service f, s;
        f.name = f.displayName = u"Fax";
        s.name = s.displayName = u"Scan";
        c.prepare(f);
        sim::M().dependents = {f, s};
        { SpoolerRestart restart(&context); }
        EXPECT_EQ(Lines(), c.lines) << c.what;
        EXPECT_EQ(Spooler().state, static_cast<DWORD>(SERVICE_RUNNING)) << c.what;
        EXPECT_EQ(sim::M().dependents[0].state, c.faxAfter) << c.what;
        EXPECT_EQ(sim::M().dependents[1].state, static_cast<DWORD>(SERVICE_RUNNING)) << c.what;
    }
}

TEST_F(SpoolerControlTest, WithoutAContextTheSameCallsAndNoLog) {
    const std::function<void()> scenarios[] = {
        [] {},
        [] { sim::M().spooler.state = SERVICE_STOPPED; },
        [] { sim::M().spooler.ignoresStop = true; },
        [] { sim::M().spooler.refusesStart = true; },
        [] { sim::M().managerAccessDenied = true; },
        [] { sim::M().serviceAccessDenied = true; },
        [] { sim::M().controlError = ERROR_DEPENDENT_SERVICES_RUNNING; },
    };
    int n = 0;
    for (const auto& scenario : scenarios) {
        sim::Reset();
        sim::M().recordCalls = true;
        scenario();
        InstallContext logged{};
        { SpoolerRestart restart(&logged); }
        std::vector<std::string> withContext = ServiceCalls();
        DWORD stateWithContext = sim::M().spooler.state;
        Release(logged.LogText);

        sim::Reset();
        sim::M().recordCalls = true;
        scenario();
        { SpoolerRestart restart(nullptr); }
        EXPECT_EQ(ServiceCalls(), withContext) << "scenario " << n;
        EXPECT_EQ(sim::M().spooler.state, stateWithContext);
        EXPECT_EQ(sim::LiveBlocks(), 0u) << "no log text was made";
        EXPECT_EQ(sim::CallCount("FormatMessageW"), 0);
        EXPECT_EQ(ScHandles(), 0u);
        ++n;
    }
}

TEST_F(SpoolerControlTest, CheckSpoolerLeavesARunningSpoolerAlone) {
    context.LogDepth = 2;
    CheckSpooler(context);
    EXPECT_EQ(Lines(), (Expected{"    >Check Spooler"}));
    EXPECT_EQ(context.LogDepth, 2);
    EXPECT_EQ(sim::CallCount("StartServiceW"), 0);
    EXPECT_EQ(sim::CallCount("ControlService"), 0);
    EXPECT_EQ(Spooler().stopsSeen, 0);
}

TEST_F(SpoolerControlTest, CheckSpoolerStartsAStoppedSpooler) {
    Spooler().state = SERVICE_STOPPED;
    Spooler().pollsToStart = 5;
    CheckSpooler(context);
    EXPECT_EQ(Lines(), (Expected{">Check Spooler"}));
    EXPECT_EQ(Spooler().state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(sim::M().sleptMs, 1000u);
    EXPECT_EQ(context.ErrorCount, 0);
}

TEST_F(SpoolerControlTest, CheckSpoolerFailures) {
    Spooler().state = SERVICE_STOPPED;
    Spooler().refusesStart = true;
    CheckSpooler(context);
    EXPECT_EQ(Lines(), (Expected{">Check Spooler", "  " + std::string(Starting)}));
    EXPECT_EQ(sim::M().sleptMs, 10000u);

    Release(context.LogText);
    sim::M().managerAccessDenied = true;
    CheckSpooler(context);
    EXPECT_EQ(Lines(), (Expected{">Check Spooler",
                                 "  Error(1): Can't open service manager. - (Access is denied.)"}));
    EXPECT_EQ(context.LogDepth, 0);

    Release(context.LogText);
    sim::M().managerAccessDenied = false;
    sim::M().serviceAccessDenied = true;
    CheckSpooler(context);
    EXPECT_EQ(Lines(), (Expected{">Check Spooler",
                                 "  Error(2): Can't open the spooler - (Access is denied.)"}));
    EXPECT_EQ(context.LogDepth, 0);
    EXPECT_EQ(context.ErrorCount, 3);

    // A status that cannot be read starts nothing and says nothing.
    Release(context.LogText);
    sim::M().serviceAccessDenied = false;
    sim::FailCall("QueryServiceStatus", ERROR_ACCESS_DENIED,
                  sim::CallCount("QueryServiceStatus") + 1);
    int starts = sim::CallCount("StartServiceW");
    CheckSpooler(context);
    EXPECT_EQ(Lines(), (Expected{">Check Spooler"}));
    EXPECT_EQ(sim::CallCount("StartServiceW"), starts);
    EXPECT_EQ(context.ErrorCount, 3);
}

TEST_F(SpoolerControlTest, StartSpoolerAndWaitPollsAtMostFiftyTimes) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, 0xF0001);
    SC_HANDLE service = OpenServiceW(manager, W("spooler"), SERVICE_START | SERVICE_QUERY_STATUS);
    EXPECT_TRUE(StartSpoolerAndWait(service)) << "already running";
    EXPECT_EQ(sim::M().sleptMs, 0u);

    Spooler().state = SERVICE_STOPPED;
    Spooler().pollsToStart = 51;
    EXPECT_FALSE(StartSpoolerAndWait(service)) << "51 queries, 50 sleeps";
    EXPECT_EQ(sim::M().sleptMs, 10000u);
    EXPECT_TRUE(StartSpoolerAndWait(service)) << "the next query sees it running";

    Spooler().state = SERVICE_STOPPED;
    sim::FailCall("QueryServiceStatus", ERROR_ACCESS_DENIED, 1, -1);
    EXPECT_FALSE(StartSpoolerAndWait(service)) << "a status never read is not running";
    sim::M().faults.clear();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

TEST_F(SpoolerControlTest, SimulatedStopControlReportsTheStatusAsDocumented) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, 0xF0001);
    SC_HANDLE service = OpenServiceW(manager, W("spooler"), 0x34);
    Spooler().state = SERVICE_STOPPED;
    SERVICE_STATUS status = {};
    status.dwCurrentState = 0xBAD;
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

    Spooler().state = SERVICE_RUNNING;
    Spooler().pollsToStop = 2;
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    status.dwCurrentState = 0xBAD;
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    for (DWORD expected : {SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED}) {
        EXPECT_TRUE(QueryServiceStatus(service, &status));
        EXPECT_EQ(status.dwCurrentState, expected) << "pollsToStop queries still see it pending";
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}
