// Two installers on one machine, as a setup started twice leaves them: the
// second "install" starts at each platform call of the first in turn. Each
// runs on a thread of its own, but only one ever runs (a baton is handed
// over), so every interleaving is deterministic. A second installer that
// waits for a mutex the first holds hands the baton back until the first
// has ended. Afterwards no queue of ours may have lost its SubKey, comment,
// location or default state.
#include "tests/support/scenario.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

using namespace scenario;

namespace {

const DWORD First = sim::InstallerProcess;
const DWORD Second = First + 1;

struct Baton {
    std::mutex lock;
    std::condition_variable changed;
    DWORD turn = First;
    std::map<DWORD, DWORD> lastErrors;  // each thread has its own last error
    std::map<DWORD, sim::Token> tokens; // and runs as its own account

    void WaitFor(DWORD me) {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return turn == me; });
        sim::M().currentInstaller = me;
        sim::M().lastError = lastErrors[me];
        sim::M().token = tokens[me];
    }
    void Give(DWORD to) {
        lastErrors[sim::M().currentInstaller] = sim::M().lastError;
        {
            std::lock_guard<std::mutex> hold(lock);
            turn = to;
        }
        changed.notify_all();
    }
    void HandOver(DWORD to) {
        DWORD me = sim::M().currentInstaller;
        Give(to);
        WaitFor(me);
    }
};

// An installer's thread has ended: a mutex it still held is abandoned.
void Abandon(DWORD installer) {
    for (auto& entry : sim::M().mutexes)
        if (entry.second.owner == installer) {
            entry.second.owner = 0;
            entry.second.recursion = 0;
            entry.second.abandoned = true;
        }
}

struct Queue {
    std::string subKey, comment, location;
    bool operator==(const Queue& o) const {
        return subKey == o.subKey && comment == o.comment && location == o.location;
    }
};

std::map<std::string, Queue> OurQueues() {
    std::map<std::string, Queue> queues;
    for (sim::Printer& p : sim::M().printers)
        if (p.driver == u"Kestrovane printer")
            queues[Ascii(p.name)] = {sim::PrinterString(p, u"DsUser", u"SubKey"), Ascii(p.comment),
                                     Ascii(p.location)};
    return queues;
}

// An installed product with the user's queues: one the default, one with a
// comment and location, both with their settings link.
void Prepare() {
    sim::Reset();
    InstalledMachine();
    sim::Printer& office = OurPrinter(u"Office", "office-1");
    office.comment = u"Second floor";
    office.location = u"Room 2.14";
    OurPrinter(u"Home", "home-2");
    sim::M().defaultPrinter = u"Office";
}

struct Outcome {
    int first = 0, second = 0;
    std::string lost; // empty: nothing lost
};

// The second install starts at the first's call number `k` (0: never); the
// first runs as `first` (SYSTEM, say: a deployment), the second as an
// administrator.
Outcome RunPair(int k, const sim::Token& first) {
    Prepare();
    std::map<std::string, Queue> before = OurQueues();
    Baton baton;
    baton.tokens = {{First, first}, {Second, sim::ElevatedToken()}};
    sim::M().token = first;
    bool started = false, secondDone = false;
    Outcome out;
    std::thread second([&] {
        baton.WaitFor(Second);
        if (started)
            out.second = RunCommand("ksvinstall.exe install");
        Abandon(Second);
        secondDone = true;
        baton.Give(First);
    });
    int calls = 0;
    sim::M().onInstallerBusy = [&] { baton.HandOver(First); };
    sim::M().onCall = [&](const std::string&, int) {
        if (sim::M().currentInstaller == First && ++calls == k && !started) {
            started = true;
            baton.HandOver(Second);
        }
    };
    out.first = RunCommand("ksvinstall.exe install");
    sim::M().onCall = nullptr;
    Abandon(First);
    if (!secondDone)
        baton.HandOver(Second);
    second.join();
    sim::M().onInstallerBusy = nullptr;
    sim::M().currentInstaller = First;
    sim::M().token = sim::ElevatedToken();

    std::map<std::string, Queue> after = OurQueues();
    for (const auto& q : before)
        if (!after.count(q.first) || !(after[q.first] == q.second))
            out.lost += q.first + " ";
    if (Ascii(sim::M().defaultPrinter) != "Office")
        out.lost += "default ";
    if (!sim::FindMonitor(u"Kestrovane:") || !sim::FindDriver(u"Kestrovane printer"))
        out.lost += "monitor/driver ";
    return out;
}

} // namespace

TEST(ConcurrencySweep, SecondInstallAtEveryCallOfTheFirstLosesNothing) {
    sim::Token system = sim::SystemToken();
    system.sessionId = 0;
    const struct {
        const char* first;
        sim::Token token;
    } runs[] = {{"an administrator", sim::ElevatedToken()}, {"SYSTEM", system}};
    for (const auto& run : runs) {
        Prepare();
        sim::M().recordCalls = true;
        sim::M().token = run.token;
        ASSERT_EQ(RunCommand("ksvinstall.exe install"), 1);
        int calls = static_cast<int>(sim::M().calls.size());
        int losses = 0, failed = 0;
        for (int k = 1; k <= calls; ++k) {
            Outcome o = RunPair(k, run.token);
            if (o.first != 1 || o.second != 1) {
                ++failed;
                ADD_FAILURE() << run.first << " first, second install at call " << k
                              << ": exit codes " << o.first << ", " << o.second;
            }
            if (!o.lost.empty()) {
                ++losses;
                ADD_FAILURE() << run.first << " first, second install at call " << k
                              << " lost: " << o.lost;
            }
        }
        std::printf("concurrency sweep, %s first: %d interleavings, %d with losses, %d with "
                    "errors\n",
                    run.first, calls, losses, failed);
        EXPECT_GT(calls, 100);
    }
}
