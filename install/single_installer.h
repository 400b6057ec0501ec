// One installer at a time on a machine, and nobody else able to stop one:
// the verbs that change the machine hold a mutex that only SYSTEM and
// Administrators may open. It lies in a private namespace bound to the
// Administrators group where the system has them; elsewhere (Wine) in the
// global namespace, where whoever made it first owns it, so its owner is
// checked. A second run waits for the first, but not for ever.
#pragma once

#include "install/who_can_change.h"
#include "platform/win32.h"

// Long enough for a slow but sound run (a tray program that ignores its quit
// message alone costs some 105 s), short enough for a deployment to go on.
const DWORD InstallersLockWait = 180000;

struct InstallersLock {
    HANDLE Mutex = nullptr;
    HANDLE Namespace = nullptr; // kept open while we hold or wait: others find it
    BOOLEAN(WINAPI* CloseNamespace)(HANDLE, ULONG) = nullptr;
    bool Held = false;
};

// Waits until no other installer runs and takes the lock. False, with the
// reason, when it stayed held beyond InstallersLockWait, or could not be had
// safely (then the run must change nothing).
bool TakeInstallersLock(InstallersLock& lock, Refusal& refusal);
// Lets go; harmless on a lock not (or no longer) held.
void LetOtherInstallersRun(InstallersLock& lock);
