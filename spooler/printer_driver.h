// The printer driver "Kestrovane printer": staged in the spooler's driver
// directory, registered from there, and removed with its files.
#pragma once

#include "platform/win32.h"

#include <cstdint>

struct InstallContext;

// The driver's name, compared exactly.
const WCHAR OurDriverName[] = W("Kestrovane printer");

// Spooler records of one DRIVER_INFO level with their strings in the same
// global-heap block; the holder frees `entries` with GlobalFree.
struct DriverList {
    BYTE* entries;
    uint32_t level;
    uint32_t count;
    bool failed; // the spooler could not be asked: an empty list then proves nothing
};

DriverList& EnumDriverList(DriverList& list, const WCHAR* environment);
int32_t FindOurDriver(const DriverList& list);
void SetupDriver(InstallContext& context);
void RemoveDriver(InstallContext& context, const DriverList& list);
