#include "install/package_check.h"

#include "common/wide_string.h"
#include "install/context_setup.h"
#include "run/install_context.h"
#include "run/install_log.h"
#include "run/module.h"
#include "tray/tray_control.h"

namespace {

const WCHAR TrayName[] = W("kestray.exe");

bool IsLetter(WCHAR c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Where the root of a full path ends: "C:", "\\?\C:", "\\server\share".
// 0 for a path whose root cannot be told.
size_t RootLength(const WCHAR* path) {
    size_t skip = path[0] == '\\' && path[1] == '\\' && path[2] == '?' && path[3] == '\\' ? 4 : 0;
    if (IsLetter(path[skip]) && path[skip + 1] == ':')
        return skip + 2;
    if (skip != 0 || path[0] != '\\' || path[1] != '\\' || path[2] == '\\' || !path[2])
        return 0;
    size_t share = 2;
    while (path[share] && path[share] != '\\')
        ++share;
    if (!path[share] || !path[share + 1] || path[share + 1] == '\\')
        return 0;
    size_t end = share + 1;
    while (path[end] && path[end] != '\\')
        ++end;
    return end;
}

void Hold(PackageFiles& package, const WCHAR* name, const WideString& path) {
    PackageFile& file = package.Files[package.Count++];
    file.Name = name;
    file.File = INVALID_HANDLE_VALUE;
    file.OpenError = Length(path) == 0 ? static_cast<DWORD>(ERROR_PATH_NOT_FOUND) : 0;
    if (Length(path) > 0) {
        file.File = CreateFileW(Text(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
        if (file.File == INVALID_HANDLE_VALUE)
            file.OpenError = GetLastError();
    }
}

// `directory` + name; empty without a directory (or memory).
WideString PathOf(const WideString& directory, const WCHAR* name) {
    WideString path = Copy(directory);
    if (Length(path) > 0 && !Append(path, name))
        Release(path);
    return path;
}

// The security of one file or folder against `rights`. The descriptor is the
// handle's when there is one, so what is checked is what is read.
bool Judge(const OwnAccounts& own, HANDLE file, const WCHAR* path, DWORD rights, Refusal& refusal) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD code = file != INVALID_HANDLE_VALUE
                     ? GetSecurityInfo(file, SE_FILE_OBJECT, wanted, &owner, nullptr, &dacl,
                                       nullptr, &descriptor)
                     : GetNamedSecurityInfoW(path, SE_FILE_OBJECT, wanted, &owner, nullptr, &dacl,
                                             nullptr, &descriptor);
    PSID other = code == ERROR_SUCCESS ? WhoElseCanChange(own, owner, dacl, rights) : nullptr;
    if (code != ERROR_SUCCESS)
        Refuse(refusal, ErrCannotCheck, code, path);
    else if (other)
        Refuse(refusal, ErrCanBeChanged, ERROR_SUCCESS, path, other);
    LocalFree(descriptor);
    return code == ERROR_SUCCESS && !other;
}

// The installer's folder and its parent are the package's folders; every
// folder above them up to the root only must not let anyone move them away.
// Walks down the path, so each folder is a prefix of the one before.
bool JudgeFolders(const OwnAccounts& own, const WideString& directory, Refusal& refusal) {
    size_t root = RootLength(Text(directory));
    uint64_t n = Length(directory);
    if (root == 0 || n <= root || Text(directory)[root] != '\\')
        return Refuse(refusal, ErrCannotCheck, ERROR_BAD_PATHNAME, Text(directory));
    WideString path = Copy(directory);
    bool safe = Length(path) == n ||
                Refuse(refusal, ErrCannotCheck, ERROR_NOT_ENOUGH_MEMORY, Text(directory));
    int level = 0;
    for (uint64_t i = n - 1; safe && i > root; --i)
        if (Text(path)[i] == '\\')
            safe = SetLength(path, i)
                       ? Judge(own, INVALID_HANDLE_VALUE, Text(path),
                               level++ < 2 ? FolderChangeRights : PathChangeRights, refusal)
                       : Refuse(refusal, ErrCannotCheck, ERROR_NOT_ENOUGH_MEMORY, Text(directory));
    // The root itself, named with its separator: "C:\\".
    if (safe)
        safe = SetLength(path, root + 1)
                   ? Judge(own, INVALID_HANDLE_VALUE, Text(path),
                           level < 2 ? FolderChangeRights : PathChangeRights, refusal)
                   : Refuse(refusal, ErrCannotCheck, ERROR_NOT_ENOUGH_MEMORY, Text(directory));
    Release(path);
    return safe;
}

bool JudgePackage(const WideString& directory, const PackageFiles& package, const WideString* paths,
                  Refusal& refusal) {
    OwnAccounts own;
    DWORD code = ERROR_SUCCESS;
    if (Length(directory) == 0)
        return Refuse(refusal, ErrCannotCheck, ERROR_PATH_NOT_FOUND, W("ksvinstall.exe"));
    if (!ReadOwnAccounts(own, code))
        return Refuse(refusal, ErrCannotCheck, code, Text(directory));
    // A file that is not there is taken from nowhere: the copy reports it.
    for (size_t i = 0; i < package.Count; ++i)
        if (package.Files[i].File != INVALID_HANDLE_VALUE &&
            !Judge(own, package.Files[i].File, Text(paths[i]), FileChangeRights, refusal))
            return false;
    return JudgeFolders(own, directory, refusal);
}

} // namespace

bool TakePackage(uint32_t mode, bool check, PackageFiles& package, Refusal& refusal) {
    package = PackageFiles();
    WideString directory = ModuleDirectory();
    const WCHAR* components[] = {Platform64.monitorFile, Platform64.driverFile, Platform64.uiFile,
                                 HelpFileName};
    WideString paths[PackageFileCount];
    for (const WCHAR* name : components) {
        paths[package.Count] = PathOf(directory, name);
        Hold(package, name, paths[package.Count]);
    }
    if (!(mode & ModeNoTray)) {
        paths[package.Count] = TrayPath(directory);
        Hold(package, TrayName, paths[package.Count]);
    }
    bool safe = !check || JudgePackage(directory, package, paths, refusal);
    for (WideString& path : paths)
        Release(path);
    Release(directory);
    if (!safe)
        ReleasePackage(package);
    return safe;
}

void ReleasePackage(PackageFiles& package) {
    for (size_t i = 0; i < package.Count; ++i)
        if (package.Files[i].File != INVALID_HANDLE_VALUE)
            CloseHandle(package.Files[i].File);
    package = PackageFiles();
}
