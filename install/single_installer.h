// One installer at a time on a machine: the verbs that change it hold a named
// mutex for their whole run, and a second run waits until the first ends.
#pragma once

#include "platform/win32.h"

// Machine-wide, so that runs in other sessions wait too.
const char InstallerMutexName[] = "Global\\Kestrovane.ksvinstall";

// Waits until no other installer runs and returns the mutex, now ours; null
// when it could not be had (the run then goes on as before). A mutex whose
// holder ended without letting go is free.
HANDLE WaitForOtherInstallers();
void LetOtherInstallersRun(HANDLE mutex);
