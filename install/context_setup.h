// Building the context of one install or uninstall run, which already does
// work (the first log lines, the spooler checked, the printers taken stock
// of), and freeing it with every list the steps filled.
#pragma once

#include "run/install_context.h"

#include <cstdint>

// The component files and spooler environment of one platform.
struct PlatformFiles {
    const WCHAR* environment;
    const WCHAR* monitorFile;
    const WCHAR* driverFile;
    const WCHAR* uiFile;
};
inline constexpr PlatformFiles Platform64 = {W("Windows x64"), W("ksvmon64.dll"), W("ksvdrv64.dll"),
                                             W("ksvui64.dll")};
inline constexpr PlatformFiles Platform32 = {W("Windows NT x86"), W("ksvmon32.dll"),
                                             W("ksvdrv32.dll"), W("ksvui32.dll")};
inline constexpr const WCHAR* HelpFileName = W("ksvhelp.chm");

InstallContext& InitContext(InstallContext& context, uint32_t mode);
void SelectPlatform(InstallContext& context, bool is64);
void FreeContext(InstallContext& context);
