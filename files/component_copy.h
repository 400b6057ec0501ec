// Copying a component file from the installer's directory into a target
// directory, byte for byte, with retries while the destination is locked.
#pragma once

#include "platform/win32.h"

struct InstallContext;

// Callers' destination-path buffers hold this many code units, terminator included.
const size_t ComponentPathCapacity = 264;

// 0 when the file was copied whole, E_FAIL otherwise. `destination`, when given,
// receives the destination path (empty when it does not fit).
HRESULT CopyComponent(InstallContext& context, const WCHAR* directory, const WCHAR* fileName,
                      WCHAR* destination, bool report);
HANDLE OpenForWrite(InstallContext& context, const WCHAR* path);
