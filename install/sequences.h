// The install and uninstall sequences.
#pragma once

struct InstallContext;

void ReInstall(InstallContext& context);
// `reinstall`: the first half of an install, which may keep a compatible
// monitor and the tray program it is about to start again.
void UnInstall(InstallContext& context, bool reinstall);
// Returns whether a file of ours is still queued for deletion at the restart.
bool CompleteUnInstall(InstallContext& context);
// Deletes now the files of ours that are queued for deletion at the next
// restart, except what a registered monitor or driver, or the install half,
// still uses. Returns whether one of ours still waits for the restart.
bool DeletePendingFiles(InstallContext& context, bool reinstall);
