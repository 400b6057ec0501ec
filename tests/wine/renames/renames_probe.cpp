// renames_probe.exe: hands files to the system for deletion (or renaming) at
// the next restart, the way the installer does at the end of a run. For the
// Wine tests only.
//
// usage: renames_probe.exe <operation>...
//   <path>           MoveFileExW(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT)
//   <from>><to>      MoveFileExW(from, to, MOVEFILE_DELAY_UNTIL_REBOOT)
//   <from>>><to>     the same with MOVEFILE_REPLACE_EXISTING
//   ('>' cannot occur in a Windows path, so it cannot be mistaken.)
//
// stdout: one line per operation, "<n> 1" when the call returned non-zero,
//         "<n> 0 <last error>" when it did not.
// exit:   0 when every call returned non-zero, 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        std::wstring operation = argv[i];
        std::wstring from = operation;
        std::wstring to;
        DWORD flags = MOVEFILE_DELAY_UNTIL_REBOOT;
        size_t mark = operation.find(L'>');
        if (mark != std::wstring::npos) {
            from = operation.substr(0, mark);
            size_t rest = mark + 1;
            if (rest < operation.size() && operation[rest] == L'>') {
                flags |= MOVEFILE_REPLACE_EXISTING;
                ++rest;
            }
            to = operation.substr(rest);
        }
        BOOL done =
            MoveFileExW(from.c_str(), mark == std::wstring::npos ? nullptr : to.c_str(), flags);
        if (done) {
            std::printf("%d 1\n", i);
        } else {
            std::printf("%d 0 %lu\n", i, GetLastError());
            ++failures;
        }
    }
    return failures ? 1 : 0;
}
