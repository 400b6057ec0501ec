// Checking, stopping and restarting the "spooler" service.
#pragma once

#include "platform/win32.h"

#include <cstdint>

struct InstallContext;

// Creating one stops the spooler and waits until it has stopped; the end of
// its scope starts it again and waits until it runs. Without a context it is
// silent.
struct SpoolerRestart {
    InstallContext* context;
    SC_HANDLE manager;
    SC_HANDLE service;
    uint8_t stopRequested;

    explicit SpoolerRestart(InstallContext* context);
    ~SpoolerRestart();
    SpoolerRestart(const SpoolerRestart&) = delete;
    SpoolerRestart& operator=(const SpoolerRestart&) = delete;
};

bool StartSpoolerAndWait(SC_HANDLE service);
void CheckSpooler(InstallContext& context);
