// The tray programs of ours that run, in whichever session: found by the
// full path of their image, asked to end the way that reaches them, and
// waited for within the protocol's bounds. Nothing else is asked to end, and
// nothing is ever killed.
#pragma once

#include "platform/win32.h"

#include <cstdint>

// Paths compared as Windows compares them: letter case aside, and a short
// (8.3) name the same as its long one.
enum class PathMatch { Same, Different, Unknown };
PathMatch ComparePaths(const WCHAR* a, const WCHAR* b);

struct TrayProcess {
    DWORD id;
    DWORD session;
    HANDLE process; // opened to be waited for
    bool asked;     // signalled through its event
};
const uint32_t TrayProcessCapacity = 64; // sessions on one machine, and more
struct TrayProcesses {
    TrayProcess items[TrayProcessCapacity];
    uint32_t count;
};

// Every running process whose image is `ourTray` (a full path); none when
// the processes cannot be listed.
void FindOurTrays(const WCHAR* ourTray, TrayProcesses& trays);
void CloseTrays(TrayProcesses& trays);
bool AnyTrayIn(const TrayProcesses& trays, DWORD session);
bool IsOurTray(const TrayProcesses& trays, DWORD processId);
// The tray window of one of `trays` on the installer's desktop, or none;
// windows of that class that belong to other programs are passed over.
HWND FindOurTrayWindow(const TrayProcesses& trays);
// Signals each tray outside `session` through its event; returns the tick
// the waiting for them counts from.
DWORD AskTraysElsewhere(TrayProcesses& trays, DWORD session);
// Waits for the trays asked, all of them within `bound` ms from `since`.
void WaitForAskedTrays(const TrayProcesses& trays, DWORD since, DWORD bound);
