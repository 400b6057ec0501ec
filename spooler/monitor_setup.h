// The port monitor "Kestrovane:": the list of registered monitors that other
// steps search, and its installation (copy the DLL, register it, move the
// printers that were parked on "file:" back to its port).
#pragma once

#include "platform/win32.h"

#include <cstdint>

struct InstallContext;

// The monitor's name, which is also its port's name. Compared exactly.
const WCHAR OurPortName[] = W("Kestrovane:");

// Spooler records of one level (MONITOR_INFO_1 or _2) with their strings in
// the same global-heap block; the holder frees `entries` with GlobalFree.
struct MonitorList {
    BYTE* entries;
    uint32_t level;
    uint32_t count;
    bool failed; // the spooler could not be asked: an empty list then proves nothing
};

MonitorList& EnumMonitorList(MonitorList& list, InstallContext& context);
int32_t FindOurMonitor(const MonitorList& list);
void LogMonitorList(InstallContext& context, const MonitorList& list);
void SetupMonitor(InstallContext& context);
// Gives every printer in `RedirectedPrinters` its first "file:" back as
// "Kestrovane:", in place, and tells the spooler; leaves the array as it is.
void SwitchPrintersBack(InstallContext& context);
