// The state of one install or uninstall run.
#pragma once

#include "common/wide_string.h"
#include "files/deferred_deletes.h"
#include "platform/win32.h"
#include "spooler/printer_inventory.h"
#include "spooler/printer_preservation.h"

#include <cstdint>

const uint32_t Mode64Bit = 2;
const uint32_t ModeNoTray = 4;
const int32_t BuildNumber = 2501;

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
    SavedPrinter* SavedPrinters;
    PrinterInventory Inventory;
    PRINTER_INFO_2W** RedirectedPrinters; // null-terminated, global heap
    // For each of RedirectedPrinters: where in its port list the entry that
    // became "file:" begins; global heap, or none.
    uint32_t* RedirectedPorts;
};

// The instance handle the entry point received; set before anything else runs.
extern HINSTANCE ModuleInstance;

// The installer's own directory with its separator; empty when the system
// could not give its whole path.
WideString ModuleDirectory();
InstallContext& InitContext(InstallContext& context, uint32_t mode);
void SelectPlatform(InstallContext& context, bool is64);
void FreeContext(InstallContext& context);
