#include "spooler/monitor_setup.h"

#include "common/call_buffer.h"
#include "common/text.h"
#include "common/wide_string.h"
#include "files/component_copy.h"
#include "run/install_context.h"
#include "run/install_log.h"
#include "spooler/spooler_control.h"

#include <cstring>

namespace {

const int AddMonitorAttempts = 5;
const DWORD AddMonitorPause = 50;

// Unlike LogError, these lines carry the system text as it comes, line end
// included.
void LogEnumFailure(InstallContext& context, const WCHAR* format, DWORD code) {
    WCHAR* text = SystemText(code);
    LogLine(context, format, text ? text : W("No Error or no description"));
    LocalFree(text);
}

size_t MonitorStride(uint32_t level) {
    return level == 1 ? sizeof(MONITOR_INFO_1W) : level == 2 ? sizeof(MONITOR_INFO_2W) : 0;
}

// `at`: where the removal's "file:" begins, or -1 when it was not recorded.
void SwitchToOurPort(InstallContext& context, PRINTER_INFO_2W* entry, int64_t at) {
    WCHAR* ports = entry->pPortName;
    WCHAR* port = at >= 0 && static_cast<size_t>(at) <= TextLength(ports) ? ports + at : ports;
    port = FindPortEntry(port, FilePort);
    if (!port || (at >= 0 && port != ports + at))
        return;
    // RemoveMonitor shortened this very text by six units, so it grows back
    // into memory it held before.
    WCHAR* rest = port + FilePortLength;
    std::memmove(port + OurPortLength, rest, (TextLength(rest) + 1) * sizeof(WCHAR));
    std::memcpy(port, OurPortName, OurPortLength * sizeof(WCHAR));
    HANDLE printer = nullptr;
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    if (!OpenPrinterW(entry->pPrinterName, &printer, &defaults) || !printer) {
        LogLine(context, W("Can't open printer %s"), entry->pPrinterName);
        return;
    }
    if (SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(entry), 0))
        LogLine(context, W("SetPrinter(%s) - ok"), entry->pPrinterName);
    else
        LogLine(context, W("SetPrinter(%s) - failed"), entry->pPrinterName);
    ClosePrinter(printer);
}

} // namespace

MonitorList& EnumMonitorList(MonitorList& list, InstallContext& context) {
    list.entries = nullptr;
    list.level = 2;
    list.count = 0;
    DWORD count = 0;
    CallBuffer answer = ReadCallBuffer([&count](LPBYTE block, DWORD size, DWORD* needed) {
        return EnumMonitorsW(nullptr, 2, block, size, needed, &count);
    });
    list.failed = answer.step != BufferStep::SizeAnswered && answer.step != BufferStep::Read;
    switch (answer.step) {
    case BufferStep::SizeAnswered:
        LogLine(context, W("1. EnumMonitors returns true"));
        break;
    case BufferStep::SizeFailed:
        LogEnumFailure(context, W("2. EnumMonitors  failed with code: %s"), answer.code);
        break;
    case BufferStep::NoMemory:
        LogLine(context, W("3. EnumMonitors - can't allocate memory for buffer"));
        SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
        break;
    case BufferStep::ReadFailed:
        LogEnumFailure(context, W("3. EnumMonitors  failed with code: %s"), answer.code);
        break;
    case BufferStep::Read:
        list.entries = answer.block;
        list.count = count;
        break;
    }
    return list;
}

int32_t FindOurMonitor(const MonitorList& list) {
    size_t stride = MonitorStride(list.level);
    if (list.count == 0 || !list.entries || stride == 0)
        return -1;
    for (uint32_t i = 0; i < list.count; ++i) {
        // pName leads both record levels.
        const MONITOR_INFO_1W* record =
            reinterpret_cast<const MONITOR_INFO_1W*>(list.entries + i * stride);
        if (record->pName && TextEqual(record->pName, OurPortName))
            return static_cast<int32_t>(i);
    }
    return -1;
}

void LogMonitorList(InstallContext& context, const MonitorList& list) {
    LogLine(context, W("------- %d existing monitors ----------"),
            static_cast<int32_t>(list.count));
    // A list of level 1 is walked with its own stride: reading it as level 2
    // would run past its records.
    size_t stride = list.level == 1 ? sizeof(MONITOR_INFO_1W) : sizeof(MONITOR_INFO_2W);
    for (uint32_t i = 0; list.entries && i < list.count; ++i) {
        const MONITOR_INFO_1W* record =
            reinterpret_cast<const MONITOR_INFO_1W*>(list.entries + i * stride);
        LogLine(context, W("%d. %s"), static_cast<int32_t>(i + 1),
                record->pName ? record->pName : W("***EMPTY***"));
    }
    LogLine(context, W("---------------------------------------"));
}

void SwitchPrintersBack(InstallContext& context) {
    if (!context.RedirectedPrinters)
        return;
    for (size_t i = 0; context.RedirectedPrinters[i]; ++i)
        SwitchToOurPort(context, context.RedirectedPrinters[i],
                        context.RedirectedPorts ? context.RedirectedPorts[i] : -1);
}

void ReleaseRedirectedPrinters(InstallContext& context) {
    GlobalFree(context.RedirectedPrinters);
    GlobalFree(context.RedirectedPorts);
    context.RedirectedPrinters = nullptr;
    context.RedirectedPorts = nullptr;
}

WCHAR* FindPortEntry(WCHAR* ports, const WCHAR* port) {
    size_t n = TextLength(port);
    for (WCHAR* entry = ports; entry;) {
        WCHAR* end = entry;
        while (*end && *end != ',')
            ++end;
        if (static_cast<size_t>(end - entry) == n &&
            std::memcmp(entry, port, n * sizeof(WCHAR)) == 0)
            return entry;
        entry = *end ? end + 1 : nullptr;
    }
    return nullptr;
}

void CopyMonitorFile(InstallContext& context) {
    LogLine(context, W("Copy monitor file"));
    WCHAR destination[ComponentPathCapacity];
    if (CopyComponent(context, Text(context.SystemDir), context.MonitorFile, destination, false) !=
        S_OK) {
        // The spooler holds the old DLL: copy again while it is stopped.
        SpoolerRestart restart(&context);
        CopyComponent(context, Text(context.SystemDir), context.MonitorFile, destination, true);
    }
}

void SetupMonitor(InstallContext& context) {
    LogLine(context, W(">AddMonitor"));
    LogScope scope(context);
    if (context.CopyMonitor) {
        CopyMonitorFile(context);
    } else {
        LogLine(context, W("Skip copy monitor file"));
    }
    MONITOR_INFO_2W info = {const_cast<LPWSTR>(OurPortName),
                            const_cast<LPWSTR>(context.Environment),
                            const_cast<LPWSTR>(context.MonitorFile)};
    bool added = false;
    DWORD code = ERROR_SUCCESS;
    for (int attempt = 0; attempt < AddMonitorAttempts && !added; ++attempt) {
        if (attempt > 0)
            Sleep(AddMonitorPause);
        added = AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)) != FALSE;
        if (!added) {
            code = GetLastError();
            LogLine(context, W("AddMonitor - failed. Trying to wait and install again"));
        }
    }
    if (!added) {
        LogError(context, ErrInstallMonitor, code);
        return;
    }
    LogLine(context, W("AddMonitor - OK :)"));
    SwitchPrintersBack(context);
}
