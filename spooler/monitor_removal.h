// Removal of the port monitor "Kestrovane:", which a reinstall may skip when
// the monitor present is of a compatible build, and the build number of a
// component file.
#pragma once

#include "platform/win32.h"

#include <cstdint>

struct InstallContext;
struct MonitorList;

// Monitor builds a reinstall keeps: this installer's own and the fifty before.
const int32_t OldestCompatibleMonitorBuild = 2451;
const int32_t NewestCompatibleMonitorBuild = 2501;

// The fourth part of the file's product version, or -1 without a readable
// version resource.
int32_t ReadFileVersion(const WCHAR* path);
void RemoveMonitor(InstallContext& context, const MonitorList& list);
