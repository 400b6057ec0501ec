// ksvstandin.exe, ksvinstall.exe's stand-in in the MSI test: whatever the
// verb, it copies C:\ksvstandin\log.txt byte for byte to its /log file and
// ends with the number in C:\ksvstandin\code.txt (1 when there is none).
#include <windows.h>

#include <shellapi.h>

int wmain() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    for (int i = 1; argv && i + 1 < argc; ++i)
        if (lstrcmpiW(argv[i], L"/log") == 0)
            CopyFileW(L"C:\\ksvstandin\\log.txt", argv[i + 1], FALSE);
    char text[16] = {};
    DWORD read = 0;
    HANDLE file = CreateFileW(L"C:\\ksvstandin\\code.txt", GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    ReadFile(file, text, sizeof(text) - 1, &read, nullptr);
    CloseHandle(file);
    int code = 0;
    for (const char* c = text; *c >= '0' && *c <= '9'; ++c)
        code = code * 10 + (*c - '0');
    return code;
}
