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
    ErrScheduleDelete = 18,
    ErrSavedRecordWrite = 19,
    ErrSavedRecordRead = 20,
    ErrKeepField = 21,
    ErrLockTimeout = 22,
    ErrLockUnavailable = 23,
    ErrCanBeChanged = 24,
    ErrCannotCheck = 25,
    ErrStopDependent = 26,
    ErrStartDependent = 27,
    LogErrorNumberEnd // one past the last number
};
const WCHAR* LogErrorFormat(uint32_t number);

void AppendLogLine(InstallContext& context, const WCHAR* text);
void LogLine(InstallContext& context, const WCHAR* format, ...);
// `code` is the failing call's own error, taken right after it failed: the
// thread's last error at logging time may belong to another call. 0: none.
void LogError(InstallContext& context, uint32_t number, DWORD code, ...);
// Indents the lines logged while it lives by `steps` levels below a ">" marker,
// and restores the depth it found when it goes.
struct LogScope {
    InstallContext& context;
    int32_t saved;
    explicit LogScope(InstallContext& context, int32_t steps = 1);
    ~LogScope();
    LogScope(const LogScope&) = delete;
    LogScope& operator=(const LogScope&) = delete;
};

// The system's text for an error code, in English unless the system has no
// English texts; null when there is none. The caller releases it with LocalFree.
WCHAR* SystemText(DWORD code);
// The same, trailing line breaks removed.
WCHAR* LastErrorText(DWORD code);
