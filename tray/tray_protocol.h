// What the installer and the tray program kestray.exe agree on: while the
// tray program runs it holds the named mutex (private to its session) and
// owns a top-level window of the class below; posting TrayQuitMessage to
// that window makes it end.
#pragma once

#include "platform/win32.h"

const char TrayMutexName[] = "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
const WCHAR TrayWindowClass[] = W("kvs::{05759F8E-103D-41B6-8A61-EFAA89516692}");
const UINT TrayQuitMessage = WM_USER + 2; // 1026, wParam and lParam 0
const char TrayFileName[] = "kestray.exe";

// A tray program in another session than the installer's is out of reach of
// the installer's window search. Each one therefore also waits on an event
// of its own, named by this prefix and its process id in decimal in the
// global namespace, and ends when it is signalled as for TrayQuitMessage.
const WCHAR TrayQuitEventPrefix[] = W("Global\\Kestrovane.TrayQuit.");
const size_t TrayQuitEventCapacity = sizeof TrayQuitEventPrefix / sizeof(WCHAR) + 10;

inline void TrayQuitEventName(WCHAR (&name)[TrayQuitEventCapacity], DWORD processId) {
    size_t n = 0;
    for (; TrayQuitEventPrefix[n]; ++n)
        name[n] = TrayQuitEventPrefix[n];
    WCHAR digits[10];
    size_t k = 0;
    do {
        digits[k++] = static_cast<WCHAR>('0' + processId % 10);
        processId /= 10;
    } while (processId != 0);
    while (k > 0)
        name[n++] = digits[--k];
    name[n] = 0;
}
