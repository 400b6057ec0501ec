// The cost of each verb on the simulated machine: the virtual time it spends
// waiting (sleeps, waits, slow calls) and how often it stops the spooler.
// A benchmark, not a test: it prints the table and fails only when a run
// breaks what every verb must leave behind.
#include "tests/support/scenario.h"

#include <cstdio>
#include <functional>
#include <string>

namespace {

using namespace scenario;

struct Case {
    const char* name;
    std::function<void()> prepare;
    const char* verb;
};

const Case cases[] = {
    {"clean install",
     [] {
         PlacePackage();
         ScriptTray();
     },
     "install"},
    {"reinstall, same build, nothing locked", [] { InstalledMachine(); }, "install"},
    {"reinstall over build 2450 (monitor replaced)",
     [] {
         InstalledMachine(2450);
         PlacePackage(2501);
     },
     "install"},
    {"reinstall, two printers of ours and another vendor's on our port, over 2450",
     [] {
         InstalledMachine(2450);
         PlacePackage(2501);
         OurPrinter(u"Office", "office-1");
         OurPrinter(u"Home", "home-2");
         OtherPrinter(u"Laser", u"Kestrovane:");
         sim::M().defaultPrinter = u"Office";
     },
     "install"},
    {"in_notray over an installed machine", [] { InstalledMachine(); }, "in_notray"},
    {"uninstall", [] { InstalledMachine(); }, "uninstall"},
    {"uninstall, machine without the product", [] { PlacePackage(); }, "uninstall"},
    {"onChkDrv", [] { InstalledMachine(); }, "onChkDrv"},
    {"onInit", [] { InstalledMachine(); }, "onInit"},
    {"def.set", [] { InstalledMachine(); }, "def.set"},
    {"removetray", [] { InstalledMachine(); }, "removetray"},
};

TEST(VerbCost, Table) {
    std::string table = "| scenario | verb | exit | virtual ms | spooler stops |\n"
                        "|---|---|---|---|---|\n";
    for (const Case& c : cases) {
        sim::Reset();
        c.prepare();
        VerbRun run = RunVerb(c.verb, false);
        table += "| " + std::string(c.name) + " | " + c.verb + " | " +
                 std::to_string(run.exitCode) + " | " + std::to_string(run.virtualMs) + " | " +
                 std::to_string(run.spoolerStops) + " |\n";
    }
    std::printf("%s", table.c_str());
}

} // namespace
