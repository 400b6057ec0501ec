// The install and uninstall sequences.
#pragma once

struct InstallContext;

void ReInstall(InstallContext& context);
void UnInstall(InstallContext& context);
void CompleteUnInstall(InstallContext& context);
