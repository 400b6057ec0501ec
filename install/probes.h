// The short questions a setup program asks ("onChkDrv", "onInit") and the
// one order it gives ("def.set"). No context, no log: the answer is the result.
#pragma once

#include "platform/win32.h"

bool ProbeDriverBuild();
bool ProbePendingComponents();
bool ProbeDefaultPrinter();
void MakeOurPrinterDefault();
// The printer's driver description (level 2) in a global-heap block, or null.
DRIVER_INFO_2W* ReadPrinterDriverInfo(HANDLE printer);
