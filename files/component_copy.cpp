#include "files/component_copy.h"

#include "common/text.h"
#include "common/wide_string.h"
#include "files/deferred_deletes.h"
#include "run/install_context.h"
#include "run/install_log.h"
#include "run/package_files.h"

#include <cstring>

namespace {

const DWORD ChunkSize = 8192;
const int OpenAttempts = 100;
const DWORD OpenPause = 50;
const DWORD OpenTimeout = 10000;

// directory + "\" (unless it already ends in one) + file name; empty when the
// directory is empty or the heap refuses the block: never a relative or cut path.
WideString JoinPath(const WCHAR* directory, const WCHAR* fileName) {
    WideString path;
    if (!directory || !directory[0] || !fileName || !fileName[0])
        return path;
    size_t n = TextLength(directory);
    bool joined = Assign(path, directory) && (directory[n - 1] == '\\' || Append(path, W("\\"))) &&
                  Append(path, fileName);
    if (!joined)
        Release(path);
    return path;
}

// Copies the source whole: a read may hand out less than asked for, so only
// the source's size says where it ends. False when a read or a write failed
// or the source ended before its size, which leaves the destination cut short.
bool CopyBytes(InstallContext& context, HANDLE source, HANDLE destination, const WCHAR* path) {
    static BYTE buffer[ChunkSize];
    DWORD high = 0;
    DWORD low = GetFileSize(source, &high);
    DWORD code = low == INVALID_FILE_SIZE ? GetLastError() : ERROR_SUCCESS;
    if (code != ERROR_SUCCESS) {
        LogError(context, ErrCopyWrite, code, path);
        return false;
    }
    uint64_t size = (static_cast<uint64_t>(high) << 32) | low;
    for (uint64_t copied = 0; copied < size;) {
        DWORD read = 0;
        if (!ReadFile(source, buffer, ChunkSize, &read, nullptr)) {
            LogError(context, ErrCopyWrite, GetLastError(), path);
            return false;
        }
        if (read == 0) {
            LogError(context, ErrCopyWrite, ERROR_HANDLE_EOF, path);
            return false;
        }
        DWORD written = 0;
        if (!WriteFile(destination, buffer, read, &written, nullptr)) {
            LogError(context, ErrCopyWrite, GetLastError(), path);
            return false;
        }
        if (written != read) {
            LogError(context, ErrCopyWrite, ERROR_DISK_FULL, path);
            return false;
        }
        copied += read;
    }
    return true;
}

// The source: the file the run holds from its package, rewound (the monitor
// DLL may be copied twice), or, where no package is held, the file by path.
// A held file that could not be opened gives the reason it had then.
HANDLE OpenSource(const InstallContext& context, const WCHAR* fileName, const WCHAR* path,
                  DWORD& code) {
    const PackageFile* held = HeldPackageFile(context.Package, fileName);
    if (!held) {
        HANDLE file =
            CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        code = GetLastError();
        return file;
    }
    code = held->OpenError;
    if (held->File != INVALID_HANDLE_VALUE &&
        SetFilePointer(held->File, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
        code = GetLastError();
        return INVALID_HANDLE_VALUE;
    }
    return held->File;
}

} // namespace

bool ComponentReadable(InstallContext& context, const WCHAR* fileName) {
    WideString path = JoinPath(Text(context.ModuleDir), fileName);
    DWORD code = Length(context.ModuleDir) == 0 ? ERROR_PATH_NOT_FOUND : ERROR_NOT_ENOUGH_MEMORY;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (Length(path) != 0) {
        file = CreateFileW(Text(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
        code = GetLastError();
    }
    Release(path);
    if (file == INVALID_HANDLE_VALUE) {
        LogError(context, ErrOpenSource, code, fileName);
        return false;
    }
    CloseHandle(file);
    return true;
}

HANDLE OpenForWrite(InstallContext& context, const WCHAR* path, DWORD& code) {
    DWORD start = GetTickCount();
    code = ERROR_SUCCESS;
    for (int attempt = 0; attempt < OpenAttempts; ++attempt) {
        HANDLE file =
            CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            return file;
        code = GetLastError();
        if (GetTickCount() - start > OpenTimeout) {
            LogLine(context, W("CreateFile - timeout"));
            return INVALID_HANDLE_VALUE;
        }
        Sleep(OpenPause);
    }
    return INVALID_HANDLE_VALUE;
}

HRESULT CopyComponent(InstallContext& context, const WCHAR* directory, const WCHAR* fileName,
                      WCHAR* destination, bool report) {
    LogLine(context, W(">CopyFile %s to %s [%d])"), fileName, directory, report ? 1 : 0);
    LogScope scope(context);
    WideString sourcePath = JoinPath(Text(context.ModuleDir), fileName);
    WideString destinationPath = JoinPath(directory, fileName);
    const WCHAR* target = Text(destinationPath);
    // A path that could not be built, or does not fit the caller's buffer, is
    // refused, never cut into a different path.
    bool fits = Length(destinationPath) > 0 && Length(destinationPath) < ComponentPathCapacity;
    if (destination)
        lstrcpyW(destination, fits ? target : W(""));

    HRESULT result = E_FAIL;
    HANDLE source = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_SUCCESS;
    if (Length(sourcePath) == 0) {
        // No directory of our own to copy from: the component is missing.
        if (report)
            LogError(context, ErrOpenSource,
                     Length(context.ModuleDir) == 0 ? ERROR_PATH_NOT_FOUND
                                                    : ERROR_NOT_ENOUGH_MEMORY,
                     fileName);
    } else if (!fits) {
        bool built = Length(destinationPath) > 0;
        DWORD code = built                           ? ERROR_FILENAME_EXCED_RANGE
                     : (!directory || !directory[0]) ? ERROR_PATH_NOT_FOUND
                                                     : ERROR_NOT_ENOUGH_MEMORY;
        if (report)
            LogError(context, ErrOpenDestination, code, built ? target : fileName);
    } else if ((source = OpenSource(context, fileName, Text(sourcePath), error)) ==
               INVALID_HANDLE_VALUE) {
        if (report)
            LogError(context, ErrOpenSource, error, fileName);
    } else {
        HANDLE out = OpenForWrite(context, target, error);
        if (out == INVALID_HANDLE_VALUE) {
            if (report)
                LogError(context, ErrOpenDestination, error, target);
        } else {
            if (CopyBytes(context, source, out, target)) {
                result = S_OK;
                // An earlier attempt's remains, deferred, are this file now.
                KeepDeferred(context.DeferredDeletes, target);
            }
            CloseHandle(out);
            // What the failed copy left is no file of ours to keep.
            if (result != S_OK && !DeleteFileW(target) &&
                !DeferDelete(context.DeferredDeletes, target))
                LogError(context, ErrScheduleDelete, ERROR_NOT_ENOUGH_MEMORY, target);
        }
        if (!HeldPackageFile(context.Package, fileName))
            CloseHandle(source);
    }
    LogLine(context, result == S_OK ? W("Copy Succeeded :)") : W("Copy Failed :("));
    Release(destinationPath);
    Release(sourcePath);
    return result;
}
