// kestray.exe: the least tray program the installer can start and stop. While
// it runs it holds the named mutex and owns a top-level window of the agreed
// class; TrayQuitMessage posted to that window ends it.
#include "tray/tray_protocol.h"

#include <windows.h>

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
        CloseHandle(mutex); // one tray program is enough
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
    if (window) {
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return 0;
}
