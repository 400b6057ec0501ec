// Copying a component file from the installer's directory into a target
// directory, byte for byte, with retries while the destination is locked.
#pragma once

#include "platform/win32.h"

struct InstallContext;

// Callers' destination-path buffers hold this many code units, terminator included.
const size_t ComponentPathCapacity = 264;

// 0 when the file was copied whole, E_FAIL otherwise. `destination`, when given,
// receives the destination path (empty when it could not be built or does not
// fit). An empty directory or ModuleDir makes no path: the copy is refused.
HRESULT CopyComponent(InstallContext& context, const WCHAR* directory, const WCHAR* fileName,
                      WCHAR* destination, bool report);
// Whether the component can be read from the installer's directory, opened as
// a copy opens its source; error 10 is logged when it cannot.
bool ComponentReadable(InstallContext& context, const WCHAR* fileName);
// The destination, created or emptied; INVALID_HANDLE_VALUE after the attempts
// ran out, with `code` the last attempt's error.
HANDLE OpenForWrite(InstallContext& context, const WCHAR* path, DWORD& code);
