#include "install/report/log_dialog.h"

#include "common/text.h"
#include "common/wide_string.h"
#include "run/install_context.h"
#include "run/module.h"

namespace {

const size_t TitleCapacity = 264;

void InitLogDialog(HWND dialog, const InstallContext& context) {
    SetDlgItemTextW(dialog, LogTextControl, Text(context.LogText));
    WCHAR title[TitleCapacity];
    size_t n = static_cast<size_t>(
        FormatText(title, TitleCapacity, W("Kestrovane build %d- Install"), BuildNumber));
    FormatText(title + n, TitleCapacity - n,
               context.ErrorCount != 0 ? W(" error log!") : W(" log."));
    SetWindowTextW(dialog, title);
}

// A service's window station (session 0, or a run as SYSTEM) is not visible:
// a dialog there is one nobody can close. When it cannot be told, no dialog
// either: a deployment that hangs is worse than a log nobody saw.
bool WindowStationVisible() {
    HWINSTA station = GetProcessWindowStation();
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    return station &&
           GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed) &&
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

} // namespace

INT_PTR CALLBACK LogDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        InitLogDialog(dialog, *reinterpret_cast<const InstallContext*>(lParam));
    } else if (message == WM_COMMAND) {
        WORD id = LOWORD(wParam);
        if (id == IDOK)
            EndDialog(dialog, 1);
        else if (id == IDCANCEL)
            EndDialog(dialog, 0);
    }
    return 0;
}

void ShowLogDialog(InstallContext& context, HWND owner) {
    if (!WindowStationVisible())
        return; // as if it had been closed
    DialogBoxParamW(ModuleInstance, MAKEINTRESOURCEW(LogDialogResource), owner, LogDialogProc,
                    reinterpret_cast<LPARAM>(&context));
}
