// Lines and errors into the Windows Installer log.
#include "msi/ksvmsi.h"

#include <stdarg.h>

namespace {

// Windows Installer puts a field into its template, then formats the result
// once more: "[1]" would become the record's field, "[%PATH]" the environment,
// "[~]" a null, "{{...}}" nothing. "[\x]" is the one way to say x itself.
WCHAR* Escape(const WCHAR* text) {
    int length = lstrlenW(text);
    WCHAR* escaped =
        static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, (4 * length + 1) * sizeof(WCHAR)));
    if (!escaped)
        return nullptr;
    WCHAR* out = escaped;
    for (const WCHAR* in = text; *in; ++in) {
        bool special = *in == L'[' || *in == L']' || *in == L'{' || *in == L'}';
        if (special) {
            *out++ = L'[';
            *out++ = L'\\';
        }
        *out++ = *in;
        if (special)
            *out++ = L']';
    }
    *out = 0;
    return escaped;
}

// Sets the field to the text escaped; false when there was no memory for it.
bool SetEscaped(MSIHANDLE record, UINT field, const WCHAR* text) {
    WCHAR* escaped = Escape(text ? text : L"");
    if (!escaped)
        return false;
    MsiRecordSetStringW(record, field, escaped);
    HeapFree(GetProcessHeap(), 0, escaped);
    return true;
}

} // namespace

void Tell(MSIHANDLE install, const WCHAR* text) {
    MSIHANDLE record = MsiCreateRecord(1);
    if (!record)
        return;
    MsiRecordSetStringW(record, 0, L"[1]");
    if (SetEscaped(record, 1, text))
        MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

void TellFormat(MSIHANDLE install, const WCHAR* format, ...) {
    WCHAR line[1025]; // wvsprintfW writes at most 1024 characters and the null
    va_list args;
    va_start(args, format);
    wvsprintfW(line, format, args);
    va_end(args);
    Tell(install, line);
}

void Report(MSIHANDLE install, int error, const WCHAR* first, const WCHAR* second,
            const WCHAR* third) {
    MSIHANDLE record = MsiCreateRecord(4);
    if (!record)
        return;
    // No template: Windows Installer takes the Error table's text for field 1.
    MsiRecordSetInteger(record, 1, error);
    if (SetEscaped(record, 2, first) && SetEscaped(record, 3, second) &&
        SetEscaped(record, 4, third))
        MsiProcessMessage(install, INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR),
                          record);
    MsiCloseHandle(record);
}

bool IsFullPath(const WCHAR* path) {
    bool drive = ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
                 path[1] == L':' && path[2] == L'\\';
    bool unc = path[0] == L'\\' && path[1] == L'\\' && path[2] != 0 && path[2] != L'\\';
    return drive || unc;
}
