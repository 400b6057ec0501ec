#include "install/probes.h"

#include "common/call_buffer.h"
#include "common/text.h"
#include "common/wide_string.h"
#include "files/pending_renames.h"
#include "install/context_setup.h"
#include "run/module.h"
#include "spooler/monitor_removal.h"
#include "spooler/printer_driver.h"
#include "spooler/printer_inventory.h"
#include "spooler/spooler_control.h"
#include "tray/tray_control.h"

namespace {

// The probes always ask about the 64-bit file set the installer installs.
constexpr const WCHAR* OurComponentNames[] = {Platform64.monitorFile, Platform64.driverFile,
                                              Platform64.uiFile};
constexpr const WCHAR* OurDriverFiles[] = {Platform64.driverFile, Platform64.uiFile, HelpFileName};
LPWSTR OurEnvironment() {
    return const_cast<LPWSTR>(Platform64.environment);
}
const int32_t NewestUnsupportedBuild = 2450;

PRINTER_INFO_2W* FirstProductPrinter(const PrinterInventory& inventory) {
    for (uint32_t i = 0; i < inventory.count; ++i)
        if (TextEqual(inventory.entries[i].pDriverName, OurDriverName))
            return &inventory.entries[i];
    return nullptr;
}

bool NamesOurComponent(const WCHAR* path) {
    const WCHAR* name = FileNamePart(path);
    for (const WCHAR* ours : OurComponentNames)
        if (TextEqualNoCase(name, ours))
            return true;
    return false;
}

void EndInBackslash(WCHAR* path, size_t capacity) {
    size_t n = TextLength(path);
    if (n > 0 && path[n - 1] != '\\' && n + 1 < capacity) {
        path[n] = '\\';
        path[n + 1] = 0;
    }
}

// The files of ours that the probe may delete now: the monitor DLL in the
// system directory, the driver files in the driver directory and its version
// subfolder (and the spooler's copies below it), the tray program. A
// directory that cannot be read adds nothing.
void CollectOwnFiles(OwnFiles& own) {
    WCHAR path[MAX_PATH + 2] = {0};
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
        EndInBackslash(path, MAX_PATH + 2);
        AddOwnFile(own, path, nullptr, OurComponentNames[0]);
    }
    DWORD needed = 0;
    path[0] = 0;
    if (GetPrinterDriverDirectoryW(nullptr, OurEnvironment(), 1, reinterpret_cast<LPBYTE>(path),
                                   MAX_PATH * sizeof(WCHAR), &needed)) {
        path[MAX_PATH - 1] = 0;
        EndInBackslash(path, MAX_PATH + 2);
        for (const WCHAR* file : OurDriverFiles) {
            AddOwnFile(own, path, nullptr, file);
            AddOwnFile(own, path, W("3\\"), file);
        }
        AddOwnCopies(own, path, W("3\\"), OurDriverFiles, 3);
    }
    WideString dir = ModuleDirectory();
    if (Length(dir) > 0) {
        WideString tray = TrayPath(dir);
        AddOwnFile(own, Text(tray), nullptr, nullptr);
        Release(tray);
    }
    Release(dir);
}

// One pass: carry out what can be deleted now, then look for our files among
// the operations whose source still exists.
bool PendingPassFindsOurs() {
    PendingRenameTable table;
    ReadPendingRenames(table);
    OwnFiles own{};
    if (table.count > 0)
        CollectOwnFiles(own);
    DeletePendingNow(table, own);
    ReleaseOwnFiles(own);
    bool found = false;
    for (int32_t k = 0; k < table.count && !found; ++k)
        found = table.flags[2 * k] == 1 && table.entries[2 * k] &&
                NamesOurComponent(table.entries[2 * k]);
    ReleasePendingRenames(table);
    return found;
}

} // namespace

DRIVER_INFO_2W* ReadPrinterDriverInfo(HANDLE printer) {
    CallBuffer answer = ReadCallBuffer([printer](LPBYTE block, DWORD size, DWORD* needed) {
        return GetPrinterDriverW(printer, OurEnvironment(), 2, block, size, needed);
    });
    return reinterpret_cast<DRIVER_INFO_2W*>(answer.block);
}

bool ProbeDriverBuild() {
    PrinterInventory inventory = {nullptr, 0, 0};
    TakeInventory(inventory);
    bool newer = false;
    HANDLE printer = nullptr;
    PRINTER_INFO_2W* ours = FirstProductPrinter(inventory);
    if (ours && OpenPrinterW(ours->pPrinterName, &printer, nullptr) && printer) {
        DRIVER_INFO_2W* driver = ReadPrinterDriverInfo(printer);
        if (driver && driver->pDriverPath)
            newer = ReadFileVersion(driver->pDriverPath) > NewestUnsupportedBuild;
        ClosePrinterHandle(printer);
        GlobalFree(driver);
    }
    ReleaseInventory(inventory);
    return newer;
}

bool ProbePendingComponents() {
    for (int pass = 0; pass < 2; ++pass) {
        if (!PendingPassFindsOurs())
            return false;
        SpoolerRestart restart(nullptr);
    }
    return true;
}

bool ProbeDefaultPrinter() {
    WCHAR name[DefaultPrinterNameCapacity] = {0};
    DWORD size = DefaultPrinterNameCapacity;
    GetDefaultPrinterW(name, &size);
    if (!name[0])
        return true;
    HANDLE printer = nullptr;
    if (!OpenPrinterW(name, &printer, nullptr) || !printer)
        return true;
    PrinterInfoBlock info = ReadPrinterInfo(printer);
    bool notOurs = !(info.info && TextEqual(info.info->pDriverName, OurDriverName));
    ClosePrinterHandle(printer);
    GlobalFree(info.info);
    return notOurs;
}

void MakeOurPrinterDefault() {
    PrinterInventory inventory = {nullptr, 0, 0};
    TakeInventory(inventory);
    if (PRINTER_INFO_2W* ours = FirstProductPrinter(inventory))
        SetDefaultPrinterW(ours->pPrinterName);
    ReleaseInventory(inventory);
}
