// What an install takes from its package runs as SYSTEM afterwards: the
// port monitor DLL in the spooler, the driver files, the tray program at
// every logon. So only administrators may be able to change it: the files,
// the installer's folder and the one above it (where the tray program lies),
// and every folder up to the root. Checked before anything changes.
#pragma once

#include "install/who_can_change.h"
#include "run/package_files.h"

#include <cstdint>

// Opens the package's files (the tray program too unless `mode` has
// ModeNoTray) and, when `check` is set, checks them and their folders. False
// with the reason when someone else can change any of them; the files are
// then closed again.
bool TakePackage(uint32_t mode, bool check, PackageFiles& package, Refusal& refusal);
void ReleasePackage(PackageFiles& package);
