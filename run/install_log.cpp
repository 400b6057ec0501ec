#include "run/install_log.h"

#include "common/text.h"
#include "common/wide_string.h"
#include "run/install_context.h"

namespace {

const WCHAR* const errorFormats[] = {
    nullptr,
    W("Can't open service manager."),
    W("Can't open the spooler"),
    W("Can't stop the spooler"),
    W("Can't start the spooler"),
    W("ControlService failed with code %d (0x%x)"),
    W("Can`t retrieve printer driver directory."),
    W("Can`t retrieve system directory."),
    W("CopyFile(..,%s)"),
    W("Cant't open destination file: %s"),
    W("Cant't open source file: %s"),
    W("Can`t install a local port monitor'Kestrovane:'"),
    W("Can`t remove the port monitor 'Kestrovane:'"),
    W("Can`t install a printer driver 'Kestrovane printer'"),
    W("Can`t remove the printer-driver 'Kestrovane printer'"),
    W("Can`t add printer '%s'"),
    W("Can`t open printer '%s'"),
    W("Can`t delete printer '%s'"),
    W("Can`t delete %s at restart"),
    W("Can`t keep the saved printers in %s"),
    W("Can`t read the printers saved by an earlier run in %s"),
    W("Can`t keep the %s of printer '%s'"),
    W("Another installer still holds the installers' lock after %d seconds"),
    W("Can't take the installers' lock %s"),
    W("%s can be changed by %s"),
    W("Can't check who can change %s"),
    W("Can't stop the dependent service %s"),
    W("Can't start the dependent service %s"),
};
const uint32_t errorCount = sizeof errorFormats / sizeof errorFormats[0];
static_assert(errorCount == LogErrorNumberEnd, "one format for every error number");

const int MaxIndent = 10;

} // namespace

const WCHAR* LogErrorFormat(uint32_t number) {
    return number > 0 && number < errorCount && errorFormats[number] ? errorFormats[number] : W("");
}

void AppendLogLine(InstallContext& context, const WCHAR* text) {
    int32_t depth = context.LogDepth;
    int32_t n = depth > MaxIndent ? MaxIndent : depth;
    uint64_t start = Length(context.LogText);
    bool whole = true;
    if (n > 0) {
        static const WCHAR spaces[2 * MaxIndent + 1] = {' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                                        ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                                        ' ', ' ', ' ', ' ', ' ', ' ', 0};
        whole = Append(context.LogText, spaces, static_cast<uint64_t>(2 * n));
    }
    if (whole && text && text[0])
        whole = Append(context.LogText, text);
    uint64_t m = Length(context.LogText);
    if (whole && SetLength(context.LogText, m + 2)) {
        context.LogText.block->text[m] = '\r';
        context.LogText.block->text[m + 1] = '\n';
        return;
    }
    // Without memory the line is dropped whole, so the next one does not run
    // into its remains (unless even the shrink is refused).
    static_cast<void>(SetLength(context.LogText, start));
}

void LogLine(InstallContext& context, const WCHAR* format, ...) {
    WCHAR buffer[LogLineCapacity];
    va_list args;
    va_start(args, format);
    FormatTextV(buffer, LogLineCapacity, format, args);
    va_end(args);
    AppendLogLine(context, buffer);
}

void LogError(InstallContext& context, uint32_t number, DWORD code, ...) {
    WCHAR buffer[LogLineCapacity];
    size_t used = static_cast<size_t>(
        FormatText(buffer, LogLineCapacity, W("Error(%d): "), static_cast<int32_t>(number)));
    va_list args;
    va_start(args, code);
    used += static_cast<size_t>(
        FormatTextV(buffer + used, LogLineCapacity - used, LogErrorFormat(number), args));
    va_end(args);
    WCHAR* description = LastErrorText(code);
    if (code != 0) {
        if (description)
            FormatText(buffer + used, LogLineCapacity - used, W(" - (%s)"), description);
        else
            FormatText(buffer + used, LogLineCapacity - used, W(" - ( No Description )"));
    }
    AppendLogLine(context, buffer);
    context.ErrorCount += 1;
    LocalFree(description);
}

LogScope::LogScope(InstallContext& context, int32_t steps)
    : context(context), saved(context.LogDepth) {
    context.LogDepth += steps;
}

LogScope::~LogScope() {
    context.LogDepth = saved;
}

// English where the system has its texts in English; a Windows installed
// without them answers ERROR_RESOURCE_LANG_NOT_FOUND, and its own language
// (language 0: the system's choice) beats no description at all.
WCHAR* SystemText(DWORD code) {
    const DWORD flags =
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER;
    WCHAR* text = nullptr;
    if (!FormatMessageW(flags, nullptr, code, 1033, reinterpret_cast<LPWSTR>(&text), 0, nullptr) &&
        GetLastError() == ERROR_RESOURCE_LANG_NOT_FOUND)
        FormatMessageW(flags, nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    return text;
}

WCHAR* LastErrorText(DWORD code) {
    WCHAR* text = SystemText(code);
    if (text) {
        size_t n = TextLength(text);
        while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n'))
            text[--n] = 0;
    }
    return text;
}
