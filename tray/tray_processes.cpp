#include "tray/tray_processes.h"

#include "common/text.h"
#include "tray/tray_protocol.h"

#include <cstring>

namespace {

const DWORD ImageCapacity = 1024; // units of a process's image path
// Windows of the tray's class looked at before giving up: others' among them.
const int WindowLooks = 16;

bool LongForm(const WCHAR* path, WCHAR (&out)[MAX_PATH + 1]) {
    DWORD n = GetLongPathNameW(path, out, MAX_PATH + 1);
    return n != 0 && n <= MAX_PATH;
}

void AddIfOurs(TrayProcesses& trays, DWORD id, const WCHAR* ourTray) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, id);
    if (!process)
        return;
    WCHAR image[ImageCapacity];
    DWORD size = ImageCapacity;
    DWORD session = 0;
    if (QueryFullProcessImageNameW(process, 0, image, &size) &&
        ComparePaths(image, ourTray) == PathMatch::Same && ProcessIdToSessionId(id, &session)) {
        trays.items[trays.count++] = TrayProcess{id, session, process, false};
        return;
    }
    CloseHandle(process);
}

bool AskToEnd(DWORD id) {
    WCHAR name[TrayQuitEventCapacity];
    TrayQuitEventName(name, id);
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
    if (!event)
        return false; // an earlier build's tray program: nothing to signal
    bool asked = SetEvent(event) != FALSE;
    CloseHandle(event);
    return asked;
}

} // namespace

PathMatch ComparePaths(const WCHAR* a, const WCHAR* b) {
    if (TextEqualNoCase(a, b))
        return PathMatch::Same;
    WCHAR longA[MAX_PATH + 1];
    WCHAR longB[MAX_PATH + 1];
    if (!LongForm(a, longA) || !LongForm(b, longB))
        return PathMatch::Unknown;
    return TextEqualNoCase(longA, longB) ? PathMatch::Same : PathMatch::Different;
}

void FindOurTrays(const WCHAR* ourTray, TrayProcesses& trays) {
    trays.count = 0;
    if (!ourTray || !ourTray[0])
        return;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    PROCESSENTRY32W entry;
    std::memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && trays.count < TrayProcessCapacity;
         more = Process32NextW(snapshot, &entry))
        // A process list shows only the file name part of an image.
        if (TextEqualNoCase(entry.szExeFile, FileNamePart(ourTray)))
            AddIfOurs(trays, entry.th32ProcessID, ourTray);
    CloseHandle(snapshot);
}

void CloseTrays(TrayProcesses& trays) {
    for (uint32_t i = 0; i < trays.count; ++i)
        CloseHandle(trays.items[i].process);
    trays.count = 0;
}

bool AnyTrayIn(const TrayProcesses& trays, DWORD session) {
    for (uint32_t i = 0; i < trays.count; ++i)
        if (trays.items[i].session == session)
            return true;
    return false;
}

bool IsOurTray(const TrayProcesses& trays, DWORD processId) {
    for (uint32_t i = 0; i < trays.count; ++i)
        if (trays.items[i].id == processId)
            return true;
    return false;
}

HWND FindOurTrayWindow(const TrayProcesses& trays) {
    HWND window = FindWindowW(TrayWindowClass, nullptr);
    for (int look = 0; window && look < WindowLooks; ++look) {
        DWORD id = 0;
        if (GetWindowThreadProcessId(window, &id) && IsOurTray(trays, id))
            return window;
        window = FindWindowExW(nullptr, window, TrayWindowClass, nullptr);
    }
    return nullptr;
}

DWORD AskTraysElsewhere(TrayProcesses& trays, DWORD session) {
    DWORD since = GetTickCount();
    for (uint32_t i = 0; i < trays.count; ++i)
        if (trays.items[i].session != session)
            trays.items[i].asked = AskToEnd(trays.items[i].id);
    return since;
}

void WaitForAskedTrays(const TrayProcesses& trays, DWORD since, DWORD bound) {
    for (uint32_t i = 0; i < trays.count; ++i) {
        if (!trays.items[i].asked)
            continue;
        DWORD spent = GetTickCount() - since;
        WaitForSingleObject(trays.items[i].process, spent < bound ? bound - spent : 0);
    }
}
