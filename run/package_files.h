// The package's files as a run holds them: opened once, without write or
// delete sharing, when their security was checked, and read through these
// handles, so that what is installed is what was checked.
#pragma once

#include "common/text.h"
#include "platform/win32.h"

#include <cstddef>

const size_t PackageFileCount = 5;

struct PackageFile {
    const WCHAR* Name; // the file name, as the copy asks for it
    HANDLE File;       // INVALID_HANDLE_VALUE when it could not be opened ...
    DWORD OpenError;   // ... for this reason
};
struct PackageFiles {
    PackageFile Files[PackageFileCount];
    size_t Count;
};

// The held file of that name; null when none is held under it.
inline const PackageFile* HeldPackageFile(const PackageFiles* package, const WCHAR* name) {
    for (size_t i = 0; package && i < package->Count; ++i)
        if (TextEqualNoCase(package->Files[i].Name, name))
            return &package->Files[i];
    return nullptr;
}
