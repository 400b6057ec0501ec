#include "install/report/log_file.h"

#include "common/text.h"
#include "common/wide_string.h"
#include "install/who_can_change.h"
#include "run/install_context.h"
#include "run/install_log.h"

namespace {

const WCHAR LogSecurity[] = W("D:P(A;;FA;;;SY)(A;;FA;;;BA)");
const DWORD LogAccess = GENERIC_WRITE | DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES;

// An existing file is ours to replace only as a plain file with one name that
// an administrator (or the account we run as) owns: not a link to elsewhere,
// not a second name of another file, not a file a user made beforehand.
bool MayReplace(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    OwnAccounts own;
    DWORD code = ERROR_SUCCESS;
    bool plain = GetFileInformationByHandle(file, &info) &&
                 !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                 info.nNumberOfLinks == 1;
    bool ours = plain &&
                GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
                ReadOwnAccounts(own, code) && TrustedOwner(own, owner);
    LocalFree(descriptor);
    return ours;
}

const size_t ChunkBytes = 4096;

// Encodes UTF-16 into UTF-8 through a fixed buffer that is written out
// whenever it is full; `ok` turns false at the first failed write.
struct Utf8File {
    HANDLE file;
    uint8_t bytes[ChunkBytes];
    size_t used;
    bool ok;
};

void Flush(Utf8File& out) {
    DWORD written = 0;
    if (out.ok && out.used > 0 &&
        (!WriteFile(out.file, out.bytes, static_cast<DWORD>(out.used), &written, nullptr) ||
         written != out.used))
        out.ok = false;
    out.used = 0;
}

void PutCodePoint(Utf8File& out, uint32_t c) {
    if (out.used + 4 > ChunkBytes)
        Flush(out);
    uint8_t* p = out.bytes + out.used;
    if (c < 0x80) {
        p[0] = static_cast<uint8_t>(c);
        out.used += 1;
    } else if (c < 0x800) {
        p[0] = static_cast<uint8_t>(0xC0 | c >> 6);
        p[1] = static_cast<uint8_t>(0x80 | (c & 0x3F));
        out.used += 2;
    } else if (c < 0x10000) {
        p[0] = static_cast<uint8_t>(0xE0 | c >> 12);
        p[1] = static_cast<uint8_t>(0x80 | (c >> 6 & 0x3F));
        p[2] = static_cast<uint8_t>(0x80 | (c & 0x3F));
        out.used += 3;
    } else {
        p[0] = static_cast<uint8_t>(0xF0 | c >> 18);
        p[1] = static_cast<uint8_t>(0x80 | (c >> 12 & 0x3F));
        p[2] = static_cast<uint8_t>(0x80 | (c >> 6 & 0x3F));
        p[3] = static_cast<uint8_t>(0x80 | (c & 0x3F));
        out.used += 4;
    }
}

// A surrogate without its partner becomes U+FFFD, as the system's own
// conversion does.
void PutText(Utf8File& out, const WCHAR* text, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        PutCodePoint(out, c);
    }
}

void PutNumber(Utf8File& out, int value, int digits) {
    WCHAR text[8];
    for (int i = digits - 1; i >= 0; --i, value /= 10)
        text[i] = static_cast<WCHAR>('0' + value % 10);
    PutText(out, text, static_cast<size_t>(digits));
}

// "2026-12-08T04:17:18 install - Kestrovane build 2501"
void PutFirstLine(Utf8File& out, const WCHAR* verb) {
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    const WORD parts[] = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    const WCHAR separators[] = {'-', '-', 'T', ':', ':', ' '};
    for (size_t i = 0; i < 6; ++i) {
        PutNumber(out, parts[i], i == 0 ? 4 : 2);
        PutText(out, &separators[i], 1);
    }
    WCHAR rest[LogLineCapacity];
    size_t n = static_cast<size_t>(
        FormatText(rest, LogLineCapacity, W("%s - Kestrovane build %d\r\n"), verb, BuildNumber));
    PutText(out, rest, n);
}

} // namespace

HANDLE OpenLogFile(const WCHAR* path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(LogSecurity, SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return INVALID_HANDLE_VALUE;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    HANDLE file = CreateFileW(path, LogAccess, 0, &attributes, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    bool existed = file != INVALID_HANDLE_VALUE && GetLastError() == ERROR_ALREADY_EXISTS;
    LocalFree(descriptor);
    if (existed && !MayReplace(file)) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

bool WriteLogFile(const InstallContext& context, HANDLE file, const WCHAR* verb) {
    Utf8File out;
    out.file = file;
    out.used = 0;
    out.ok = true;
    const uint8_t bom[] = {0xEF, 0xBB, 0xBF};
    for (uint8_t b : bom)
        out.bytes[out.used++] = b;
    PutFirstLine(out, verb);
    PutText(out, Text(context.LogText), static_cast<size_t>(Length(context.LogText)));
    Flush(out);
    // An older, longer file keeps nothing of its own behind the log.
    if (out.ok && !SetEndOfFile(file))
        out.ok = false;
    if (!out.ok) {
        FILE_DISPOSITION_INFO gone = {TRUE};
        SetFileInformationByHandle(file, FileDispositionInfo, &gone, sizeof gone);
    }
    return out.ok;
}
