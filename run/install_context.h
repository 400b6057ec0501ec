// The state of one install or uninstall run: where things lie, the flags that
// steer the sequences, the log, and the lists the steps fill as they go. It
// holds state only; building it and freeing its lists is the sequences' work.
#pragma once

#include "common/wide_string.h"
#include "platform/win32.h"

#include <cstdint>

struct DeferredDelete;
struct PackageFiles;
struct SavedPrinter;
struct UserDefault;

const uint32_t Mode64Bit = 2;
const uint32_t ModeNoTray = 4;
const int32_t BuildNumber = KSV_BUILD; // cmake/build_number.cmake, 2501 unless set

// The snapshot of the machine's printers (local queues and connections) at
// level 2, taken once per run.
struct PrinterInventory {
    PRINTER_INFO_2W* entries; // global-heap block as EnumPrintersW lays it out, +32 bytes
    uint32_t count;
    // Why it could not be taken (then it is empty though printers may exist); 0 when it was.
    DWORD failure;
};

struct InstallContext {
    WideString ModuleDir; // ends in its separator
    WideString SystemDir; // ends in a backslash
    WideString LogText;
    WideString DriverDir; // ends in a backslash
    const WCHAR* Environment;
    const WCHAR* MonitorFile;
    const WCHAR* DriverFile;
    const WCHAR* HelpFile;
    const WCHAR* UiFile;
    uint8_t Is64;
    uint8_t CheckMonitorVersion;
    uint8_t InstallMonitor;
    uint8_t StartTray;
    uint8_t CopyMonitor;
    int32_t ErrorCount;
    int32_t LogDepth;
    DeferredDelete* DeferredDeletes;
    SavedPrinter* SavedPrinters; // point into SavedRecord
    BYTE* SavedRecord;           // the saved-queue record this run wrote; global heap
    // For each inventory entry: the handle it was saved with, which serves its
    // deletion; global heap, or none.
    HANDLE* SavedHandles;
    PrinterInventory Inventory;
    PRINTER_INFO_2W** RedirectedPrinters; // null-terminated, global heap
    // For each of RedirectedPrinters: where in its port list the entry that
    // became "file:" begins; global heap, or none.
    uint32_t* RedirectedPorts;
    // Logged-on users whose default printer is a queue of ours, for a run
    // as a service (whose own default is another account's); global heap.
    UserDefault* UserDefaults;
    uint8_t TrayLeft; // the uninstall's tray program would not end: its file stays
    // The package's files as the run holds them open; none: opened by path.
    const PackageFiles* Package;
};
