// The port monitor "Kestrovane:": the list of registered monitors that other
// steps search, and its installation (copy the DLL, register it, move the
// printers that were parked on "file:" back to its port).
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <cstdint>

struct InstallContext;

// The monitor's name, which is also its port's name. Compared exactly.
const WCHAR OurPortName[] = W("Kestrovane:");
const size_t OurPortLength = sizeof OurPortName / sizeof OurPortName[0] - 1;
// The port the printers on ours are parked on while the monitor cannot go.
const WCHAR FilePort[] = W("file:");
const size_t FilePortLength = sizeof FilePort / sizeof FilePort[0] - 1;

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
// Copies the monitor DLL into the system directory, with the spooler stopped
// for a second try when the first fails.
void CopyMonitorFile(InstallContext& context);
// Gives every printer in `RedirectedPrinters` the "file:" entry that the
// removal switched back as "Kestrovane:", in place, and tells the spooler;
// leaves the array as it is.
void SwitchPrintersBack(InstallContext& context);
void ReleaseRedirectedPrinters(InstallContext& context);
// The entry `port` of the comma-separated port list `ports`, compared whole
// and exactly, or null.
WCHAR* FindPortEntry(WCHAR* ports, const WCHAR* port);
