// Checking, stopping and restarting the "spooler" service.
#pragma once

#include "platform/win32.h"

#include <cstdint>

struct InstallContext;

// Creating one stops the spooler and waits until it has stopped; the end of
// its scope starts it again and waits until it runs. Services that depend on
// the spooler and run are stopped before it and started after it. Without a
// context it is silent.
struct SpoolerRestart {
    InstallContext* context;
    SC_HANDLE manager;
    SC_HANDLE service;
    uint8_t stopRequested;
    // The dependent services as the service manager listed them (global heap,
    // or null); those stopped here are marked SERVICE_STOPPED.
    ENUM_SERVICE_STATUSW* dependents;
    uint32_t dependentCount;

    explicit SpoolerRestart(InstallContext* context);
    ~SpoolerRestart();
    SpoolerRestart(const SpoolerRestart&) = delete;
    SpoolerRestart& operator=(const SpoolerRestart&) = delete;
};

bool StartSpoolerAndWait(SC_HANDLE service);
void CheckSpooler(InstallContext& context);
