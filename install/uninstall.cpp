#include "install/context/install_context.h"
#include "install/context/install_log.h"
#include "install/sequences.h"

void UnInstall(InstallContext& context) {
    LogLine(context, W(">UnInstall"));
    context.LogDepth += 1;
    context.LogDepth -= 1;
}

void CompleteUnInstall(InstallContext& context) { UnInstall(context); }
