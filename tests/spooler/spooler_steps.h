// Support for the tests of the monitor and driver steps: a context on a
// prepared machine, the lines a step added to the log, and the machine
// states these steps meet (components beside the installer, our monitor
// registered, printers of another driver on our port).
#pragma once

#include "files/deferred_deletes.h"
#include "tests/support/test_machine.h"

#include <string>
#include <vector>

const sim::Text SetupDir = u"C:\\Program Files\\Kestrovane\\setup\\";
const sim::Text System32 = u"C:\\Windows\\system32\\";
const sim::Text MonitorDll = u"C:\\Windows\\system32\\ksvmon64.dll";
const sim::Text StagingDir = u"C:\\Windows\\system32\\spool\\drivers\\x64\\";
const sim::Text ForeignDriver = u"Vendor PCL";

// Every test ends with the context released and nothing left on the heaps.
class SpoolerStepTest : public MachineTest {
  protected:
    InstallContext context{};
    bool started = false;
    size_t linesBefore = 0;

    void Start(uint32_t mode = Mode64Bit) {
        InitContext(context, mode);
        started = true;
        linesBefore = LogLines(context).size();
    }
    // The lines written since Start (or since the last Mark).
    std::vector<std::string> NewLines() const {
        std::vector<std::string> all = LogLines(context);
        return std::vector<std::string>(all.begin() + static_cast<long>(linesBefore), all.end());
    }
    void Mark() { linesBefore = LogLines(context).size(); }
    void TearDown() override {
        if (started) {
            FreeContext(context);
            EXPECT_EQ(sim::LiveBlocks(), 0u) << "everything was released";
        }
        MachineTest::TearDown();
    }
};

// The four component files beside the installer, the DLLs of the given build.
inline void PutComponents(int build = 2501) {
    sim::PutFile(SetupDir + u"ksvmon64.dll", "new monitor", build);
    sim::PutFile(SetupDir + u"ksvdrv64.dll", "driver", build);
    sim::PutFile(SetupDir + u"ksvui64.dll", "driver ui", build);
    sim::PutFile(SetupDir + u"ksvhelp.chm", "help");
}

// Our monitor as an earlier install left it: registered, its DLL in the
// system directory and loaded by the spooler.
inline sim::File& RegisterOurMonitor(int build, const sim::Text& dll = u"ksvmon64.dll") {
    sim::File& f = sim::PutFile(MonitorDll, "old monitor", build);
    f.loadedBySpooler = true;
    sim::M().monitors.push_back(sim::Monitor{u"Kestrovane:", u"Windows x64", dll});
    return f;
}

// A printer of another vendor's driver; the driver is registered on first use.
inline sim::Printer& AddForeignPrinter(const sim::Text& name, const sim::Text& port) {
    if (!sim::FindDriver(ForeignDriver)) {
        sim::Driver d;
        d.name = ForeignDriver;
        d.environment = u"Windows x64";
        sim::M().drivers.push_back(d);
    }
    return sim::AddPrinter(name, ForeignDriver, port);
}

// The inventory entry of a printer, by name.
inline PRINTER_INFO_2W* InventoryEntry(InstallContext& context, const std::string& name) {
    for (uint32_t i = 0; i < context.Inventory.count; ++i)
        if (Ascii(context.Inventory.entries[i].pPrinterName) == name)
            return &context.Inventory.entries[i];
    return nullptr;
}

inline std::vector<std::string> Redirected(const InstallContext& context) {
    std::vector<std::string> names;
    for (PRINTER_INFO_2W** p = context.RedirectedPrinters; p && *p; ++p)
        names.push_back(Ascii((*p)->pPrinterName));
    return names;
}

inline std::vector<std::string> Deferred(const InstallContext& context) {
    std::vector<std::string> paths;
    for (DeferredDelete* node = context.DeferredDeletes; node; node = node->next)
        paths.push_back(Ascii(node->path));
    return paths;
}
