// The running process: its command line (and shell32's splitting of it), its
// module path, the system directory and the version it reports.
#include "machine.h"
#include "sim_win32.h"

#include <cstring>
#include <vector>

using namespace sim;

namespace {
Text commandLineCopy;

void CopyOut(const Text& text, LPWSTR buffer) {
    for (size_t i = 0; i < text.size(); ++i)
        buffer[i] = text[i];
    buffer[text.size()] = 0;
}

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

// The program name: a leading quote runs to the next quote, with no backslash
// processing; otherwise it runs to the first blank.
size_t SplitProgramName(const Text& line, std::vector<Text>& args) {
    size_t i = 0;
    Text name;
    if (i < line.size() && line[i] == u'"') {
        ++i;
        while (i < line.size() && line[i] != u'"')
            name.push_back(line[i++]);
        if (i < line.size())
            ++i;
    } else {
        while (i < line.size() && !IsBlank(line[i]))
            name.push_back(line[i++]);
    }
    args.push_back(name);
    return i;
}

// The documented rules for the arguments after the program name:
// 2n backslashes and a quote give n backslashes and toggle quoting;
// 2n+1 backslashes and a quote give n backslashes and a literal quote;
// backslashes not followed by a quote are literal.
void SplitArguments(const Text& line, size_t i, std::vector<Text>& args) {
    for (;;) {
        while (i < line.size() && IsBlank(line[i]))
            ++i;
        if (i >= line.size())
            return;
        Text arg;
        bool quoted = false;
        while (i < line.size() && (quoted || !IsBlank(line[i]))) {
            size_t slashes = 0;
            while (i < line.size() && line[i] == u'\\') {
                ++slashes;
                ++i;
            }
            if (i < line.size() && line[i] == u'"') {
                arg.append(slashes / 2, u'\\');
                if (slashes % 2)
                    arg.push_back(u'"');
                else
                    quoted = !quoted;
                ++i;
            } else {
                arg.append(slashes, u'\\');
                if (i < line.size() && (quoted || !IsBlank(line[i])))
                    arg.push_back(line[i++]);
            }
        }
        args.push_back(arg);
    }
}

} // namespace

LPWSTR GetCommandLineW() {
    Enter("GetCommandLineW");
    commandLineCopy = M().commandLine;
    return &commandLineCopy[0];
}

LPWSTR* CommandLineToArgvW(LPCWSTR commandLine, int* count) {
    if (Enter("CommandLineToArgvW"))
        return nullptr;
    if (!count) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Text line = commandLine ? Text(commandLine) : Text();
    std::vector<Text> args;
    if (line.empty())
        args.push_back(M().modulePath); // documented: an empty line gives the program's path
    else
        SplitArguments(line, SplitProgramName(line, args), args);

    // One LocalAlloc block: the pointer array, then the texts, as shell32 does.
    size_t bytes = (args.size() + 1) * sizeof(LPWSTR);
    for (const Text& a : args)
        bytes += (a.size() + 1) * sizeof(WCHAR);
    LPWSTR* block = static_cast<LPWSTR*>(LocalAlloc(LMEM_FIXED, bytes));
    if (!block)
        return nullptr;
    WCHAR* text = reinterpret_cast<WCHAR*>(block + args.size() + 1);
    for (size_t k = 0; k < args.size(); ++k) {
        block[k] = text;
        CopyOut(args[k], text);
        text += args[k].size() + 1;
    }
    block[args.size()] = nullptr;
    *count = static_cast<int>(args.size());
    return block;
}

DWORD GetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size) {
    if (Enter("GetModuleFileNameW"))
        return 0;
    const Text& path = M().modulePath;
    if (size == 0) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // Too small: cut to size - 1 units plus terminator, return size.
    if (path.size() >= size) {
        for (DWORD i = 0; i + 1 < size; ++i)
            buffer[i] = path[i];
        buffer[size - 1] = 0;
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    CopyOut(path, buffer);
    return static_cast<DWORD>(path.size());
}

// Too small a buffer: returns the size needed, terminator included.
UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) {
    if (Enter("GetSystemDirectoryW"))
        return 0;
    const Text& dir = M().systemDir;
    if (!buffer || dir.size() + 1 > size)
        return static_cast<UINT>(dir.size() + 1);
    CopyOut(dir, buffer);
    return static_cast<UINT>(dir.size());
}

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
    if (Enter("GetVersionExA"))
        return FALSE;
    if (!info ||
        (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) && info->dwOSVersionInfoSize != 156)) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    info->dwMajorVersion = M().osMajor;
    info->dwMinorVersion = M().osMinor;
    info->dwBuildNumber = 9200;
    info->dwPlatformId = M().osPlatform;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    return TRUE;
}

// Only the documented flag combinations: the searches of LoadLibraryExW that
// may stand as the process default, nothing else.
BOOL SetDefaultDllDirectories(DWORD flags) {
    if (Enter("SetDefaultDllDirectories"))
        return FALSE;
    const DWORD valid = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                        LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
    if (flags == 0 || (flags & ~valid) != 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    M().dllDirectories = flags;
    return TRUE;
}
