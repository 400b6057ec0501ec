// The in-memory, indented installation log with its numbered errors.
#pragma once

#include "platform/win32.h"

#include <cstdint>

struct InstallContext;

const size_t LogLineCapacity = 1024; // code units, terminator included

// The error table: LogError takes the number and formats the message that
// belongs to it with the arguments given.
enum LogErrorNumber : uint32_t {
    ErrOpenServiceManager = 1,
    ErrOpenSpooler = 2,
    ErrStopSpooler = 3,
    ErrStartSpooler = 4,
    ErrControlService = 5,
    ErrDriverDirectory = 6,
    ErrSystemDirectory = 7,
    ErrCopyWrite = 8,
    ErrOpenDestination = 9,
    ErrOpenSource = 10,
    ErrInstallMonitor = 11,
    ErrRemoveMonitor = 12,
    ErrInstallDriver = 13,
    ErrRemoveDriver = 14,
    ErrAddPrinter = 15,
    ErrOpenPrinter = 16,
    ErrDeletePrinter = 17,
};
const WCHAR* LogErrorFormat(uint32_t number);

void AppendLogLine(InstallContext& context, const WCHAR* text);
void LogLine(InstallContext& context, const WCHAR* format, ...);
void LogError(InstallContext& context, uint32_t number, ...);
// The system's English text for an error code, trailing line breaks removed;
// null when there is none. The caller releases it with LocalFree.
WCHAR* LastErrorText(DWORD code);
