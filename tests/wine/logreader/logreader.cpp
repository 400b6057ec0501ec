// logreader.exe: reads the installer's log dialog from another process, the
// way a person would look at it, and closes it again. For the Wine tests only.
//
// usage: logreader.exe [--cover] [--hold <path>] [--timeout <ms>]
//   --cover        first open a window over the whole screen: a key held down
//                  with xdotool reaches Wine only while the pointer rests on a
//                  Wine window, so this gives the pointer somewhere to rest.
//   --hold <path>  after printing, wait until the file <path> exists before
//                  closing the dialog (time for a screenshot).
//   --timeout <ms> how long to wait for the dialog (default 120000).
//
// stdout: the dialog's title, a line feed, then the text of control 1001
//         exactly as the edit field holds it (CR LF line ends), in UTF-8.
// stderr: progress lines "logreader: ..."; "logreader: shown" once stdout
//         is complete.
// exit:   0 read and closed, 1 bad usage, 2 no dialog in time,
//         3 the dialog could not be read or did not close.
#include <windows.h>

#include <string>

namespace {

const wchar_t TitlePrefix[] = L"Kestrovane build";
const wchar_t CoverTitle[] = L"ksv-logreader-cover";
const int LogTextControl = 1001;
const DWORD Poll = 50;
const UINT SendTimeout = 5000;

void Write(HANDLE out, const std::wstring& text) {
    if (text.empty())
        return;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], bytes,
                        nullptr, nullptr);
    const char* p = utf8.data();
    size_t left = utf8.size();
    while (left > 0) {
        DWORD written = 0;
        if (!WriteFile(out, p, static_cast<DWORD>(left), &written, nullptr) || written == 0)
            return;
        p += written;
        left -= written;
    }
}

void Say(const std::wstring& line) {
    Write(GetStdHandle(STD_ERROR_HANDLE), L"logreader: " + line + L"\n");
}

// Keeps our own windows alive (and Wine's X11 events flowing) while we wait.
void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void Wait(DWORD ms) {
    DWORD start = GetTickCount();
    do {
        Pump();
        Sleep(ms < Poll ? ms : Poll);
    } while (GetTickCount() - start < ms);
}

BOOL CALLBACK FindLogDialog(HWND window, LPARAM found) {
    wchar_t className[64] = {0};
    wchar_t title[300] = {0};
    GetClassNameW(window, className, 64);
    GetWindowTextW(window, title, 300);
    if (lstrcmpW(className, L"#32770") == 0 &&
        CompareStringW(LOCALE_INVARIANT, 0, title, lstrlenW(TitlePrefix), TitlePrefix,
                       lstrlenW(TitlePrefix)) == CSTR_EQUAL) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

bool ReadText(HWND window, std::wstring& text) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, SendTimeout,
                             &length))
        return false;
    std::wstring buffer(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(&buffer[0]),
                             SMTO_ABORTIFHUNG, SendTimeout, &copied))
        return false;
    buffer.resize(copied);
    text = buffer;
    return true;
}

LRESULT CALLBACK CoverProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND OpenCover() {
    WNDCLASSW cls = {};
    cls.lpfnWndProc = CoverProc;
    cls.hInstance = GetModuleHandleW(nullptr);
    cls.hbrBackground = static_cast<HBRUSH>(GetStockObject(DKGRAY_BRUSH));
    cls.lpszClassName = L"KsvLogReaderCover";
    RegisterClassW(&cls);
    HWND cover = CreateWindowExW(0, cls.lpszClassName, CoverTitle, WS_POPUP | WS_VISIBLE, 0, 0,
                                 GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                                 nullptr, nullptr, cls.hInstance, nullptr);
    if (cover)
        UpdateWindow(cover);
    return cover;
}

bool FileExists(const wchar_t* path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    bool cover = false;
    const wchar_t* hold = nullptr;
    DWORD timeout = 120000;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"--cover")
            cover = true;
        else if (arg == L"--hold" && i + 1 < argc)
            hold = argv[++i];
        else if (arg == L"--timeout" && i + 1 < argc)
            timeout = static_cast<DWORD>(_wtoi(argv[++i]));
        else {
            Say(L"usage: logreader.exe [--cover] [--hold <path>] [--timeout <ms>]");
            return 1;
        }
    }

    HWND coverWindow = nullptr;
    if (cover) {
        coverWindow = OpenCover();
        if (!coverWindow) {
            Say(L"cannot open the cover window (no display?)");
            return 3;
        }
        Wait(200);
        Say(L"cover up");
    }

    // Report Shift as Wine sees it, so the caller knows when a held key counts.
    bool shiftReported = false;
    DWORD start = GetTickCount();
    HWND dialog = nullptr;
    while (!dialog) {
        if (cover && !shiftReported && GetAsyncKeyState(VK_SHIFT) < 0) {
            Say(L"shift down");
            shiftReported = true;
        }
        EnumWindows(FindLogDialog, reinterpret_cast<LPARAM>(&dialog));
        if (dialog)
            break;
        if (GetTickCount() - start > timeout) {
            Say(L"no log dialog appeared");
            return 2;
        }
        Wait(Poll);
    }
    if (coverWindow)
        DestroyWindow(coverWindow);

    wchar_t title[300] = {0};
    GetWindowTextW(dialog, title, 300);
    std::wstring text;
    HWND edit = GetDlgItem(dialog, LogTextControl);
    if (!edit || !ReadText(edit, text)) {
        Say(L"cannot read control 1001");
        return 3;
    }
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    Write(out, std::wstring(title) + L"\n");
    Write(out, text);
    FlushFileBuffers(out);
    Say(L"shown");

    if (hold) {
        DWORD held = GetTickCount();
        while (!FileExists(hold) && GetTickCount() - held < timeout)
            Wait(Poll);
    }
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    DWORD closing = GetTickCount();
    while (IsWindow(dialog)) {
        if (GetTickCount() - closing > 10000) {
            Say(L"the dialog did not close");
            return 3;
        }
        Wait(Poll);
    }
    Say(L"closed");
    return 0;
}
