// The modal dialog that shows the installation log (resource 101).
#pragma once

#include "platform/win32.h"

struct InstallContext;

const int LogDialogResource = 101;
const int LogTextControl = 1001;

INT_PTR CALLBACK LogDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Shows the log modally, owned by `owner` (or by none); the result is not used.
// Nothing is shown on a window station that nobody sees.
void ShowLogDialog(InstallContext& context, HWND owner);
