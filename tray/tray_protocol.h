// What the installer and the tray program kestray.exe agree on: while the
// tray program runs it holds the named mutex and owns a top-level window of
// the class below; posting TrayQuitMessage to that window makes it end.
#pragma once

#include "platform/win32.h"

const char TrayMutexName[] = "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
const WCHAR TrayWindowClass[] = W("kvs::{05759F8E-103D-41B6-8A61-EFAA89516692}");
const UINT TrayQuitMessage = WM_USER + 2; // 1026, wParam and lParam 0
const char TrayFileName[] = "kestray.exe";
