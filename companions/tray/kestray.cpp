// kestray.exe: the least tray program the installer can start and stop. While
// it runs it holds the named mutex (one per session) and owns a top-level
// window of the agreed class; TrayQuitMessage posted to that window, or its
// own quit event signalled by an installer in another session, ends it.
#include "tray/tray_protocol.h"

#include <windows.h>

#include <sddl.h>

namespace {

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == TrayQuitMessage) {
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// An installer in another session cannot reach the window: it signals this
// event instead. Only LocalSystem and the administrators may; an event of
// that name that exists already is someone else's and is not used.
HANDLE CreateQuitEvent() {
    WCHAR name[TrayQuitEventCapacity];
    TrayQuitEventName(name, GetCurrentProcessId());
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:(A;;0x1F0003;;;SY)(A;;0x1F0003;;;BA)", SDDL_REVISION_1, &descriptor, nullptr))
        return nullptr;
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
    HANDLE event = CreateEventW(&security, TRUE, FALSE, name);
    DWORD error = GetLastError();
    LocalFree(descriptor);
    if (event && error == ERROR_ALREADY_EXISTS) {
        CloseHandle(event);
        return nullptr;
    }
    return event;
}

// Whether the message queue holds WM_QUIT; dispatches everything else.
bool DrainMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT)
            return true;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return false;
}

// The messages of the window, and the quit event beside them: the queue is
// emptied before each wait, which wakes only for what arrives after it.
void Run(HWND window, HANDLE quit) {
    while (!DrainMessages()) {
        DWORD count = quit ? 1 : 0;
        DWORD woke = MsgWaitForMultipleObjects(count, &quit, FALSE, INFINITE, QS_ALLINPUT);
        if (woke == WAIT_FAILED)
            break;
        if (count == 1 && woke == WAIT_OBJECT_0) {
            CloseHandle(quit);
            quit = nullptr;
            DestroyWindow(window); // as for TrayQuitMessage
        }
    }
    if (quit)
        CloseHandle(quit);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    // Whatever the system loads on demand comes from the system directory,
    // not from the folder the program lies in.
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return 1;
    HANDLE mutex = CreateMutexA(nullptr, TRUE, TrayMutexName);
    if (!mutex)
        return 1;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex); // one tray program a session is enough
        return 0;
    }
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = TrayWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = TrayWindowClass;
    HWND window = nullptr;
    if (RegisterClassW(&windowClass))
        window = CreateWindowExW(0, TrayWindowClass, L"Kestrovane", WS_OVERLAPPED, CW_USEDEFAULT,
                                 CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                 instance, nullptr);
    if (window)
        Run(window, CreateQuitEvent());
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return 0;
}
