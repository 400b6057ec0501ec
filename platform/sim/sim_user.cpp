// Top-level windows of other programs, the Shift key, and the modal dialog.
#include "machine.h"
#include "sim_win32.h"

using namespace sim;

namespace sim {

HWND AddWindow(const Text& className, const Text& title) {
    Window w;
    w.handle = reinterpret_cast<HWND>(M().nextHandle);
    M().nextHandle += 4;
    w.className = className;
    w.title = title;
    w.session = M().token.sessionId;
    M().windows.push_back(w);
    return w.handle;
}

Window* FindWindowByHandle(HWND handle) {
    for (Window& w : M().windows)
        if (w.handle == handle && w.alive)
            return &w;
    return nullptr;
}

} // namespace sim

namespace {
const int LogTextControl = 1001;
const DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
} // namespace

BOOL IsWindow(HWND window) {
    Enter("IsWindow");
    return FindWindowByHandle(window) != nullptr;
}

namespace {

// The next top-level window after `after` (from the first when null) on the
// caller's desktop, i.e. in the caller's session, with that class and title;
// both compare without regard to letter case.
HWND FindFrom(HWND after, LPCWSTR className, LPCWSTR title) {
    bool past = after == nullptr;
    for (Window& w : M().windows) {
        if (!past) {
            past = w.handle == after;
            continue;
        }
        if (!w.alive || w.session != M().token.sessionId)
            continue;
        if (className && Upper(className) != Upper(w.className))
            continue;
        if (title && Upper(title) != Upper(w.title))
            continue;
        return w.handle;
    }
    SetError(0);
    return nullptr;
}

} // namespace

HWND FindWindowW(LPCWSTR className, LPCWSTR title) {
    if (Enter("FindWindowW"))
        return nullptr;
    return FindFrom(nullptr, className, title);
}

// Only top-level windows (no parent) are modelled.
HWND FindWindowExW(HWND parent, HWND after, LPCWSTR className, LPCWSTR title) {
    if (Enter("FindWindowExW"))
        return nullptr;
    if (parent) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return FindFrom(after, className, title);
}

DWORD GetWindowThreadProcessId(HWND window, LPDWORD processId) {
    if (Enter("GetWindowThreadProcessId"))
        return 0;
    Window* w = FindWindowByHandle(window);
    if (!w || w->session != M().token.sessionId) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (processId)
        *processId = w->processId;
    return w->processId + 1;
}

// The shell's desktop window, on the caller's desktop; none without a shell.
HWND GetShellWindow() {
    if (Enter("GetShellWindow"))
        return nullptr;
    const Process& shell = M().shell;
    return shell.running && shell.token.sessionId == M().token.sessionId ? shell.window : nullptr;
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (Enter("PostMessageW"))
        return FALSE;
    Window* w = FindWindowByHandle(window);
    if (!w || w->session != M().token.sessionId) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    PostedMessage m{message, wParam, lParam};
    w->posted.push_back(m);
    if (w->onPost) {
        auto react = w->onPost; // the script may add windows and move the vector
        react(*w, m);
    }
    return TRUE;
}

// The most significant bit reports the key as down.
SHORT GetAsyncKeyState(int key) {
    Enter("GetAsyncKeyState");
    return (key == VK_SHIFT && M().shiftDown) ? static_cast<SHORT>(0x8000) : 0;
}

namespace {
DialogRecord* activeDialog = nullptr;
HWND activeHandle = nullptr;
bool ended = false;
} // namespace

// Runs the dialog procedure as the dialog manager would: WM_INITDIALOG with
// the parameter, then the scripted way of closing. Enter presses the default
// push button, which sends WM_COMMAND with its identifier (IDOK here).
INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC proc,
                        LPARAM param) {
    if (Enter("DialogBoxParamW") || M().dialogFails)
        return -1;
    if (reinterpret_cast<ULONG_PTR>(templateName) != 101) {
        SetError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return -1;
    }
    // Documented: an invalid owner makes the call fail with 0, not -1.
    if (owner && !FindWindowByHandle(owner)) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    DialogRecord record;
    record.instance = instance;
    record.resource = 101;
    record.owner = owner;
    HWND dialog = AddWindow(u"#32770", u"");
    activeDialog = &record;
    activeHandle = dialog;
    ended = false;
    if (M().onDialog) {
        auto look = M().onDialog;
        look(param);
    }
    record.initReturnedZero = proc(dialog, WM_INITDIALOG, 0, param) == 0;
    record.hangs = !M().windowStationVisible;
    WPARAM id = M().dialogClose == DialogClose::Cancel ? IDCANCEL : IDOK;
    if (!record.hangs)
        proc(dialog, WM_COMMAND, id, 0);
    if (!ended)
        record.result = -2; // the procedure never ended the dialog: it would hang
    activeDialog = nullptr;
    activeHandle = nullptr;
    if (Window* w = FindWindowByHandle(dialog))
        w->alive = false;
    M().dialogs.push_back(record);
    return record.result;
}

namespace {
// Any stable value: the handle is the system's and is never closed.
HWINSTA const processStation = reinterpret_cast<HWINSTA>(static_cast<uintptr_t>(0x7ffe0010));
} // namespace

HWINSTA GetProcessWindowStation() {
    if (Enter("GetProcessWindowStation"))
        return nullptr;
    return processStation;
}

// Only the window station's flags are modelled; a buffer too small reports
// the size needed.
BOOL GetUserObjectInformationW(HANDLE object, int index, LPVOID info, DWORD length,
                               LPDWORD needed) {
    if (Enter("GetUserObjectInformationW"))
        return FALSE;
    if (object != static_cast<HANDLE>(processStation)) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (index != UOI_FLAGS) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (needed)
        *needed = sizeof(USEROBJECTFLAGS);
    if (!info || length < sizeof(USEROBJECTFLAGS)) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    USEROBJECTFLAGS flags = {FALSE, FALSE, M().windowStationVisible ? DWORD(WSF_VISIBLE) : 0u};
    *static_cast<USEROBJECTFLAGS*>(info) = flags;
    return TRUE;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
    Enter("EndDialog");
    if (!activeDialog || dialog != activeHandle) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    activeDialog->result = result;
    ended = true;
    return TRUE;
}

BOOL SetDlgItemTextW(HWND dialog, int item, LPCWSTR text) {
    Enter("SetDlgItemTextW");
    if (!activeDialog || dialog != activeHandle || item != LogTextControl) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    activeDialog->itemText = text ? Text(text) : Text();
    return TRUE;
}

BOOL SetWindowTextW(HWND window, LPCWSTR text) {
    Enter("SetWindowTextW");
    Window* w = FindWindowByHandle(window);
    if (!w) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    w->title = text ? Text(text) : Text();
    if (activeDialog && window == activeHandle)
        activeDialog->title = w->title;
    return TRUE;
}
