#include "install/context/install_context.h"
#include "install/context/install_log.h"
#include "install/sequences.h"

void ReInstall(InstallContext& context) {
    LogLine(context, W(">ReInstall"));
    context.LogDepth += 2;
    context.CheckMonitorVersion = 1;
    UnInstall(context);
    context.LogDepth -= 2;
}
