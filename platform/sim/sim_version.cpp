// Version resources: a file with a product build carries, at the end of its
// bytes, a VS_VERSIONINFO whose fixed part says 1.0.0.<build>. The resource is
// part of the file (GetFileVersionInfoW reads it from the file itself), so a
// byte-for-byte copy has the same version and a rewritten file has none.
#include "machine.h"
#include "sim_win32.h"

#include <cstring>

using namespace sim;

namespace {

// VS_VERSIONINFO as the resource lays it out: wLength, wValueLength, wType,
// the key "VS_VERSION_INFO" with its terminator, padding to 32 bits, then
// the VS_FIXEDFILEINFO. String and variable sub-blocks are left out.
const char16_t versionKey[] = u"VS_VERSION_INFO";
const size_t keyOffset = 6;
const size_t fixedOffset = 40;
const size_t resourceSize = fixedOffset + sizeof(VS_FIXEDFILEINFO);
const DWORD fixedSignature = 0xFEEF04BD;

// Whether `bytes` hold a complete resource of ours.
bool IsResource(const uint8_t* bytes) {
    WORD header[3];
    std::memcpy(header, bytes, sizeof header);
    if (header[0] < resourceSize || header[1] != sizeof(VS_FIXEDFILEINFO) ||
        std::memcmp(bytes + keyOffset, versionKey, sizeof versionKey) != 0)
        return false;
    DWORD signature = 0;
    std::memcpy(&signature, bytes + fixedOffset, sizeof signature);
    return signature == fixedSignature;
}

// The file the call means: a bare name is looked up in the system directory,
// as LoadLibrary's search would find a component there.
File* VersionedFile(LPCWSTR path, DWORD& error) {
    Text p = path ? Text(path) : Text();
    if (p.empty()) {
        error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    if (p.find_first_of(u"\\/:") == Text::npos)
        p = M().systemDir + u"\\" + p;
    File* f = FindFile(p);
    if (!f) {
        error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    if (f->directory) {
        error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    if (ProductBuild(*f) < 0) {
        error = ERROR_RESOURCE_TYPE_NOT_FOUND;
        return nullptr;
    }
    return f;
}

} // namespace

namespace sim {

std::vector<uint8_t> VersionResource(int productBuild) {
    std::vector<uint8_t> out(resourceSize, 0);
    WORD header[3] = {static_cast<WORD>(resourceSize), sizeof(VS_FIXEDFILEINFO), 0};
    std::memcpy(out.data(), header, sizeof header);
    std::memcpy(out.data() + keyOffset, versionKey, sizeof versionKey);
    VS_FIXEDFILEINFO info = {};
    info.dwSignature = fixedSignature;
    info.dwStrucVersion = 0x00010000;
    info.dwFileVersionMS = info.dwProductVersionMS = 0x00010000; // 1.0
    info.dwFileVersionLS = info.dwProductVersionLS = static_cast<DWORD>(productBuild) & 0xFFFF;
    info.dwFileFlagsMask = 0x3F;
    info.dwFileOS = 0x00040004; // VOS_NT_WINDOWS32
    info.dwFileType = 2;        // VFT_DLL
    std::memcpy(out.data() + fixedOffset, &info, sizeof info);
    return out;
}

size_t VersionResourceAt(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < resourceSize)
        return bytes.size();
    size_t at = bytes.size() - resourceSize;
    return IsResource(bytes.data() + at) ? at : bytes.size();
}

int ProductBuild(const File& file) {
    size_t at = VersionResourceAt(file.bytes);
    if (at == file.bytes.size())
        return -1;
    VS_FIXEDFILEINFO info;
    std::memcpy(&info, file.bytes.data() + at + fixedOffset, sizeof info);
    return static_cast<int>(info.dwProductVersionLS & 0xFFFF);
}

} // namespace sim

DWORD GetFileVersionInfoSizeW(LPCWSTR path, LPDWORD handle) {
    if (handle)
        *handle = 0;
    NotePath("GetFileVersionInfoSizeW", path, PathUse::Read);
    if (Enter("GetFileVersionInfoSizeW"))
        return 0;
    DWORD error = 0;
    if (!VersionedFile(path, error)) {
        SetError(error);
        return 0;
    }
    return static_cast<DWORD>(resourceSize);
}

// Documented: a buffer smaller than the information gets it cut to its size.
BOOL GetFileVersionInfoW(LPCWSTR path, DWORD, DWORD size, LPVOID data) {
    NotePath("GetFileVersionInfoW", path, PathUse::Read);
    if (Enter("GetFileVersionInfoW"))
        return FALSE;
    if (!data) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD error = 0;
    File* f = VersionedFile(path, error);
    if (!f) {
        SetError(error);
        return FALSE;
    }
    const uint8_t* resource = f->bytes.data() + VersionResourceAt(f->bytes);
    std::memcpy(data, resource, size < resourceSize ? size : resourceSize);
    return TRUE;
}

// Only the root block ("\") exists in these resources; it is found only in a
// block that GetFileVersionInfoW filled completely.
BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* length) {
    if (buffer)
        *buffer = nullptr;
    if (length)
        *length = 0;
    if (Enter("VerQueryValueW") || !block || !subBlock || !buffer || !length)
        return FALSE;
    const uint8_t* bytes = static_cast<const uint8_t*>(block);
    if (!IsResource(bytes) || Text(subBlock) != u"\\")
        return FALSE;
    *buffer = const_cast<uint8_t*>(bytes + fixedOffset);
    *length = sizeof(VS_FIXEDFILEINFO);
    return TRUE;
}
