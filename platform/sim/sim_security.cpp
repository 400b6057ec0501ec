// Security: SIDs and descriptors (SDDL and the binary layout), the caller's
// token and the access check, private namespaces, and account names.
#include "machine.h"
#include "sim_win32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace sim;

namespace {

struct Alias {
    const char16_t* name;
    const char16_t* sid;
};
const Alias SidAliases[] = {{u"SY", u"S-1-5-18"},
                            {u"BA", u"S-1-5-32-544"},
                            {u"BU", u"S-1-5-32-545"},
                            {u"AU", u"S-1-5-11"},
                            {u"WD", u"S-1-1-0"}};
struct Right {
    const char16_t* name;
    DWORD mask;
};
const Right Rights[] = {{u"GA", GENERIC_ALL},
                        {u"GR", GENERIC_READ},
                        {u"GW", GENERIC_WRITE},
                        {u"GX", GENERIC_EXECUTE},
                        {u"FA", FILE_ALL_ACCESS}};

Text ParseSid(const Text& text) {
    for (const Alias& a : SidAliases)
        if (text == a.name)
            return a.sid;
    return text.compare(0, 4, u"S-1-") == 0 ? text : Text();
}

bool ParseMask(const Text& text, DWORD& mask) {
    mask = 0;
    if (text.compare(0, 2, u"0x") == 0) {
        mask = static_cast<DWORD>(std::strtoul(Narrow(text.substr(2)).c_str(), nullptr, 16));
        return true;
    }
    for (size_t i = 0; i + 1 < text.size() + 1 && i < text.size(); i += 2) {
        bool known = false;
        for (const Right& r : Rights)
            if (text.compare(i, 2, r.name) == 0) {
                mask |= r.mask;
                known = true;
            }
        if (!known)
            return false;
    }
    return true;
}

// "(A;OICI;FA;;;SY)" without its parentheses.
bool ParseAce(const Text& text, Ace& ace) {
    std::vector<Text> parts;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i)
        if (i == text.size() || text[i] == u';') {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    if (parts.size() != 6 || (parts[0] != u"A" && parts[0] != u"D"))
        return false;
    ace.type = parts[0] == u"A" ? ACCESS_ALLOWED_ACE_TYPE : ACCESS_DENIED_ACE_TYPE;
    const Text& f = parts[1];
    for (size_t i = 0; i + 1 < f.size() + 1 && i < f.size(); i += 2) {
        Text flag = f.substr(i, 2);
        ace.flags |= flag == u"OI"   ? OBJECT_INHERIT_ACE
                     : flag == u"CI" ? CONTAINER_INHERIT_ACE
                     : flag == u"IO" ? INHERIT_ONLY_ACE
                                     : 0;
    }
    ace.sid = ParseSid(parts[5]);
    return ParseMask(parts[2], ace.mask) && !ace.sid.empty();
}

void PutSid(std::vector<uint8_t>& out, const Text& sid) {
    std::vector<uint8_t> bytes = SidBytes(sid);
    out.insert(out.end(), bytes.begin(), bytes.end());
}

void PutU16(std::vector<uint8_t>& out, size_t at, size_t value) {
    out[at] = static_cast<uint8_t>(value);
    out[at + 1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(std::vector<uint8_t>& out, size_t at, DWORD value) {
    for (int i = 0; i < 4; ++i)
        out[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

DWORD U32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<DWORD>(p[3]) << 24);
}

std::vector<Text> Groups(const Token& token) {
    std::vector<Text> groups = {token.sid, u"S-1-1-0", u"S-1-5-11", u"S-1-5-32-545"};
    if (InAdministrators(token))
        groups.push_back(u"S-1-5-32-544");
    return groups;
}

bool HasGroup(const Token& token, const Text& sid) {
    for (const Text& g : Groups(token))
        if (g == sid)
            return true;
    return false;
}

DWORD MapGeneric(DWORD mask, const DWORD generic[4]) {
    const DWORD bits[4] = {GENERIC_READ, GENERIC_WRITE, GENERIC_EXECUTE, GENERIC_ALL};
    DWORD out = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    for (int i = 0; i < 4; ++i)
        if (mask & bits[i])
            out |= generic[i];
    return out;
}

// A descriptor in the local heap, as the API hands it out; the caller frees
// it with LocalFree.
void* LocalCopy(const std::vector<uint8_t>& bytes) {
    void* block = LocalAlloc(LMEM_FIXED, bytes.size());
    if (block)
        std::memcpy(block, bytes.data(), bytes.size());
    return block;
}

// The boundary's key: its name, its SIDs, and the alias.
bool NamespaceKey(LPVOID boundary, LPCWSTR alias, Text& key) {
    auto it = M().boundaries.find(reinterpret_cast<uintptr_t>(boundary));
    if (it == M().boundaries.end() || !alias || !alias[0]) {
        SetError(ERROR_INVALID_PARAMETER);
        return false;
    }
    key.clear();
    for (const Text& part : it->second)
        key += part + u"|";
    key += alias;
    return true;
}

const DWORD NamespaceGeneric[4] = {0x20003, 0x2000C, 0x20003, 0xF000F};

} // namespace

namespace sim {

const char16_t DefaultFileSecurity[] = u"O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";

std::vector<uint8_t> SidBytes(const Text& sid) {
    std::vector<uint64_t> parts;
    std::string s = Narrow(sid);
    for (size_t at = 2; at < s.size();) {
        size_t end = s.find('-', at);
        parts.push_back(std::strtoull(s.substr(at, end - at).c_str(), nullptr, 10));
        at = end == std::string::npos ? s.size() : end + 1;
    }
    std::vector<uint8_t> out = {1, static_cast<uint8_t>(parts.size() - 2), 0, 0, 0, 0, 0, 0};
    out[7] = static_cast<uint8_t>(parts[1]);
    for (size_t i = 2; i < parts.size(); ++i)
        for (int b = 0; b < 4; ++b)
            out.push_back(static_cast<uint8_t>(parts[i] >> (8 * b)));
    return out;
}

Text SidText(const void* sid) {
    const uint8_t* p = static_cast<const uint8_t*>(sid);
    std::string out = "S-1-" + std::to_string(p[7]);
    for (int i = 0; i < p[1]; ++i)
        out += "-" + std::to_string(U32(p + 8 + 4 * i));
    return Widen(out);
}

bool ParseSddl(const Text& sddl, Security& out) {
    out = Security();
    size_t at = 0;
    while (at < sddl.size()) {
        if (sddl.compare(at, 2, u"O:") == 0) {
            size_t end = sddl.find(u':', at + 2);
            end = end == Text::npos ? sddl.size() : end - 1;
            out.owner = ParseSid(sddl.substr(at + 2, end - at - 2));
            at = end;
        } else if (sddl.compare(at, 2, u"D:") == 0) {
            at += 2;
            if (sddl.compare(at, 1, u"P") == 0) {
                out.isProtected = true;
                ++at;
            }
            if (sddl.compare(at, 17, u"NO_ACCESS_CONTROL") == 0) {
                out.dacl = false;
                at += 17;
            }
            while (at < sddl.size() && sddl[at] == u'(') {
                size_t end = sddl.find(u')', at);
                Ace ace;
                if (end == Text::npos || !ParseAce(sddl.substr(at + 1, end - at - 1), ace))
                    return false;
                out.aces.push_back(ace);
                at = end + 1;
            }
        } else {
            return false;
        }
    }
    return true;
}

Text WriteSddl(const Security& s) {
    Text out = s.owner.empty() ? Text() : u"O:" + s.owner;
    out += s.dacl ? (s.isProtected ? u"D:P" : u"D:") : u"D:NO_ACCESS_CONTROL";
    char mask[16];
    for (const Ace& a : s.aces) {
        std::snprintf(mask, sizeof mask, "0x%x", a.mask);
        Text flags = Text(a.flags & OBJECT_INHERIT_ACE ? u"OI" : u"") +
                     (a.flags & CONTAINER_INHERIT_ACE ? u"CI" : u"") +
                     (a.flags & INHERIT_ONLY_ACE ? u"IO" : u"");
        out += Text(u"(") + (a.type == ACCESS_DENIED_ACE_TYPE ? u"D" : u"A") + u";" + flags + u";" +
               Widen(mask) + u";;;" + a.sid + u")";
    }
    return out;
}

std::vector<uint8_t> SecurityBytes(const Security& s, bool owner, bool dacl) {
    std::vector<uint8_t> out(20, 0);
    out[0] = 1;
    WORD control =
        SE_SELF_RELATIVE | (dacl ? SE_DACL_PRESENT : 0) | (s.isProtected ? SE_DACL_PROTECTED : 0);
    PutU16(out, 2, control);
    if (owner && !s.owner.empty()) {
        PutU32(out, 4, static_cast<DWORD>(out.size()));
        PutSid(out, s.owner);
    }
    if (dacl && s.dacl) {
        size_t acl = out.size();
        PutU32(out, 16, static_cast<DWORD>(acl));
        out.insert(out.end(), {ACL_REVISION, 0, 0, 0, 0, 0, 0, 0});
        for (const Ace& a : s.aces) {
            size_t at = out.size();
            out.insert(out.end(), {a.type, a.flags, 0, 0, 0, 0, 0, 0});
            PutU32(out, at + 4, a.mask);
            PutSid(out, a.sid);
            PutU16(out, at + 2, out.size() - at);
        }
        PutU16(out, acl + 2, out.size() - acl);
        PutU16(out, acl + 4, s.aces.size());
    }
    return out;
}

// Only the self-relative form, the one the installer hands in. Without a
// DACL (or with a NULL one) everyone has access.
bool ReadSecurity(const void* descriptor, Security& out) {
    out = Security();
    const uint8_t* sd = static_cast<const uint8_t*>(descriptor);
    WORD control = sd ? static_cast<WORD>(sd[2] | (sd[3] << 8)) : 0;
    if (!sd || sd[0] != 1 || !(control & SE_SELF_RELATIVE))
        return false;
    if (U32(sd + 4))
        out.owner = SidText(sd + U32(sd + 4));
    out.isProtected = control & SE_DACL_PROTECTED;
    const uint8_t* acl = (control & SE_DACL_PRESENT) && U32(sd + 16) ? sd + U32(sd + 16) : nullptr;
    out.dacl = acl != nullptr;
    if (!acl)
        return true;
    const uint8_t* ace = acl + 8;
    for (int i = 0; i < (acl[4] | (acl[5] << 8)); ++i) {
        Ace a;
        a.type = ace[0];
        a.flags = ace[1];
        a.mask = U32(ace + 4);
        a.sid = SidText(ace + 8);
        out.aces.push_back(a);
        ace += ace[2] | (ace[3] << 8);
    }
    return true;
}

Text DefaultOwner(const Token& token) {
    if (token.sid == SystemSid)
        return SystemSid;
    return InAdministrators(token) ? u"S-1-5-32-544" : token.sid;
}

// The token's default DACL: full access for its owner (or, for SYSTEM,
// itself) and SYSTEM; under SYSTEM, Administrators may only read and wait.
Text NewObjectSecurity(const Token& token, const SECURITY_ATTRIBUTES* attributes,
                       const Text& fallback) {
    Security s;
    if (attributes && attributes->lpSecurityDescriptor) {
        ReadSecurity(attributes->lpSecurityDescriptor, s);
    } else if (!fallback.empty()) {
        ParseSddl(fallback, s);
    } else if (token.sid == SystemSid) {
        ParseSddl(u"D:(A;;GA;;;SY)(A;;GRGX;;;BA)", s);
    } else {
        ParseSddl(u"D:(A;;GA;;;" + DefaultOwner(token) + u")(A;;GA;;;SY)", s);
    }
    if (s.owner.empty())
        s.owner = DefaultOwner(token);
    return WriteSddl(s);
}

bool AccessGranted(const Text& sddl, const Token& token, DWORD access, const DWORD generic[4]) {
    Security s;
    if (sddl.empty())
        return true;
    if (!ParseSddl(sddl, s))
        return false;
    if (!s.dacl)
        return true;
    DWORD wanted = MapGeneric(access, generic);
    if (HasGroup(token, s.owner))
        wanted &= ~(READ_CONTROL | WRITE_DAC); // the owner's implied rights
    for (const Ace& a : s.aces) {
        if ((a.flags & INHERIT_ONLY_ACE) || !HasGroup(token, a.sid))
            continue;
        DWORD mask = MapGeneric(a.mask, generic);
        if (a.type == ACCESS_DENIED_ACE_TYPE && (mask & wanted))
            return false;
        if (a.type == ACCESS_ALLOWED_ACE_TYPE)
            wanted &= ~mask;
    }
    return wanted == 0;
}

void Secure(const Text& path, const Text& sddl) {
    if (path.size() == 3 && path[1] == u':')
        M().rootSecurity = sddl;
    else if (File* f = FindFile(path))
        f->security = sddl;
}

DWORD SecurityAnswer(const Text& sddl, SECURITY_INFORMATION info, PSID* owner, PACL* dacl,
                     PSECURITY_DESCRIPTOR* descriptor) {
    Security s;
    ParseSddl(sddl.empty() ? Text(DefaultFileSecurity) : sddl, s);
    bool withOwner = info & OWNER_SECURITY_INFORMATION;
    bool withDacl = info & DACL_SECURITY_INFORMATION;
    std::vector<uint8_t> bytes = SecurityBytes(s, withOwner, withDacl);
    uint8_t* block = static_cast<uint8_t*>(LocalCopy(bytes));
    if (!block)
        return ERROR_NOT_ENOUGH_MEMORY;
    if (owner)
        *owner = withOwner && U32(block + 4) ? block + U32(block + 4) : nullptr;
    if (dacl)
        *dacl =
            withDacl && U32(block + 16) ? reinterpret_cast<PACL>(block + U32(block + 16)) : nullptr;
    if (descriptor)
        *descriptor = block;
    else
        LocalFree(block);
    return ERROR_SUCCESS;
}

void NeverReturns(const char* what) {
    std::fprintf(stderr, "the installer waits for ever: %s\n", what);
    std::fflush(stderr);
    std::_Exit(86);
}

} // namespace sim

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                          PSECURITY_DESCRIPTOR* descriptor,
                                                          PULONG size) {
    if (Enter("ConvertStringSecurityDescriptorToSecurityDescriptorW"))
        return FALSE;
    Security s;
    if (!text || !descriptor || revision != SDDL_REVISION_1 || !ParseSddl(text, s)) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<uint8_t> bytes = SecurityBytes(s, true, true);
    *descriptor = LocalCopy(bytes);
    if (!*descriptor)
        return FALSE;
    if (size)
        *size = static_cast<ULONG>(bytes.size());
    return TRUE;
}

BOOL ConvertSidToStringSidW(PSID sid, LPWSTR* text) {
    if (Enter("ConvertSidToStringSidW"))
        return FALSE;
    if (!sid || !text) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Text s = SidText(sid);
    *text = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, (s.size() + 1) * sizeof(WCHAR)));
    if (!*text)
        return FALSE;
    std::memcpy(*text, s.c_str(), (s.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

// The well-known accounts by name; others are not mapped (ERROR_NONE_MAPPED).
// Sizes count the terminator when too small, not when the name fits.
BOOL LookupAccountSidW(LPCWSTR, PSID sid, LPWSTR name, LPDWORD nameSize, LPWSTR domain,
                       LPDWORD domainSize, PSID_NAME_USE use) {
    if (Enter("LookupAccountSidW"))
        return FALSE;
    static const struct {
        const char16_t *sid, *domain, *name;
    } known[] = {{u"S-1-5-18", u"NT AUTHORITY", u"SYSTEM"},
                 {u"S-1-5-32-544", u"BUILTIN", u"Administrators"},
                 {u"S-1-5-32-545", u"BUILTIN", u"Users"},
                 {u"S-1-5-11", u"NT AUTHORITY", u"Authenticated Users"},
                 {u"S-1-1-0", u"", u"Everyone"}};
    Text s = sid ? SidText(sid) : Text();
    for (const auto& k : known) {
        if (s != k.sid)
            continue;
        Text n = k.name, d = k.domain;
        if (!nameSize || !domainSize || *nameSize <= n.size() || *domainSize <= d.size()) {
            if (nameSize)
                *nameSize = static_cast<DWORD>(n.size() + 1);
            if (domainSize)
                *domainSize = static_cast<DWORD>(d.size() + 1);
            SetError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        std::memcpy(name, n.c_str(), (n.size() + 1) * sizeof(WCHAR));
        std::memcpy(domain, d.c_str(), (d.size() + 1) * sizeof(WCHAR));
        *nameSize = static_cast<DWORD>(n.size());
        *domainSize = static_cast<DWORD>(d.size());
        if (use)
            *use = d.empty() ? SidTypeWellKnownGroup : SidTypeAlias;
        return TRUE;
    }
    SetError(ERROR_NONE_MAPPED);
    return FALSE;
}

HMODULE GetModuleHandleW(LPCWSTR name) {
    if (Enter("GetModuleHandleW"))
        return nullptr;
    if (name && Upper(name) == u"KERNEL32.DLL")
        return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7ff10000));
    SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

// kernel32's exports as far as the installer looks them up; without private
// namespaces (Wine 8) only CreateBoundaryDescriptorW of them is there.
FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    if (Enter("GetProcAddress"))
        return nullptr;
    static const struct {
        const char* name;
        void (*address)();
        bool always;
    } exports[] = {
        {"CreateBoundaryDescriptorW", reinterpret_cast<void (*)()>(&CreateBoundaryDescriptorW),
         true},
        {"AddSIDToBoundaryDescriptor", reinterpret_cast<void (*)()>(&AddSIDToBoundaryDescriptor),
         false},
        {"DeleteBoundaryDescriptor", reinterpret_cast<void (*)()>(&DeleteBoundaryDescriptor),
         false},
        {"CreatePrivateNamespaceW", reinterpret_cast<void (*)()>(&CreatePrivateNamespaceW), false},
        {"OpenPrivateNamespaceW", reinterpret_cast<void (*)()>(&OpenPrivateNamespaceW), false},
        {"ClosePrivateNamespace", reinterpret_cast<void (*)()>(&ClosePrivateNamespace), false}};
    if (module == GetModuleHandleW(u"kernel32.dll") && name)
        for (const auto& e : exports)
            if (std::strcmp(e.name, name) == 0 && (e.always || M().privateNamespaces))
                return reinterpret_cast<FARPROC>(e.address);
    SetError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

HANDLE CreateBoundaryDescriptorW(LPCWSTR name, ULONG) {
    if (Enter("CreateBoundaryDescriptorW") || !M().privateNamespaces)
        return nullptr;
    if (!name) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    uintptr_t value = M().nextHandle;
    M().nextHandle += 4;
    M().boundaries[value] = {Text(name)};
    return reinterpret_cast<HANDLE>(value);
}

BOOL AddSIDToBoundaryDescriptor(HANDLE* boundary, PSID sid) {
    if (Enter("AddSIDToBoundaryDescriptor"))
        return FALSE;
    auto it = boundary ? M().boundaries.find(reinterpret_cast<uintptr_t>(*boundary))
                       : M().boundaries.end();
    if (it == M().boundaries.end() || !sid) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    it->second.push_back(SidText(sid));
    return TRUE;
}

void DeleteBoundaryDescriptor(HANDLE boundary) {
    Enter("DeleteBoundaryDescriptor");
    M().boundaries.erase(reinterpret_cast<uintptr_t>(boundary));
}

// The creator must hold every SID of the boundary. One that exists already
// (a handle to it is open somewhere) is not made again: ERROR_ALREADY_EXISTS.
HANDLE CreatePrivateNamespaceW(LPSECURITY_ATTRIBUTES security, LPVOID boundary, LPCWSTR alias) {
    if (Enter("CreatePrivateNamespaceW"))
        return nullptr;
    Text key;
    if (!NamespaceKey(boundary, alias, key))
        return nullptr;
    const std::vector<Text>& parts = M().boundaries[reinterpret_cast<uintptr_t>(boundary)];
    for (size_t i = 1; i < parts.size(); ++i)
        if (!HasGroup(M().token, parts[i])) {
            SetError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
    Namespace& n = M().namespaces[key];
    if (n.handles > 0) {
        SetError(ERROR_ALREADY_EXISTS);
        return nullptr;
    }
    n.security = NewObjectSecurity(M().token, security, Text());
    n.handles = 1;
    n.incarnation = ++M().incarnations;
    return NewHandle(HandleKind::Namespace, key);
}

// Opening needs only the namespace's own security, not the boundary.
HANDLE OpenPrivateNamespaceW(LPVOID boundary, LPCWSTR alias) {
    if (Enter("OpenPrivateNamespaceW"))
        return nullptr;
    Text key;
    if (!NamespaceKey(boundary, alias, key))
        return nullptr;
    auto it = M().namespaces.find(key);
    if (it == M().namespaces.end() || it->second.handles == 0) {
        SetError(ERROR_NOT_FOUND);
        return nullptr;
    }
    if (!AccessGranted(it->second.security, M().token, GENERIC_EXECUTE, NamespaceGeneric)) {
        SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    ++it->second.handles;
    return NewHandle(HandleKind::Namespace, key);
}

BOOLEAN ClosePrivateNamespace(HANDLE space, ULONG flags) {
    Enter("ClosePrivateNamespace");
    Handle* h = FindHandle(space, HandleKind::Namespace);
    if (!h) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Namespace& n = M().namespaces[h->name];
    n.handles = (flags & PRIVATE_NAMESPACE_FLAG_DESTROY) ? 0 : n.handles - 1;
    M().handles.erase(reinterpret_cast<uintptr_t>(space));
    return TRUE;
}

// A file's or a mutex's security, as far as the handle may read it.
DWORD GetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner,
                      PSID*, PACL* dacl, PACL*, PSECURITY_DESCRIPTOR* descriptor) {
    if (Enter("GetSecurityInfo"))
        return GetLastError();
    auto it = M().handles.find(reinterpret_cast<uintptr_t>(object));
    bool file = it != M().handles.end() && it->second.kind == HandleKind::File;
    bool mutex = it != M().handles.end() && it->second.kind == HandleKind::Mutex;
    if ((!file || type != SE_FILE_OBJECT) && (!mutex || type != SE_KERNEL_OBJECT))
        return ERROR_INVALID_HANDLE;
    if (!(it->second.access & (READ_CONTROL | GENERIC_READ | GENERIC_ALL)))
        return ERROR_ACCESS_DENIED;
    Text sddl;
    if (file) {
        File* f = FindFile(it->second.name);
        sddl = f ? f->security : Text();
    } else {
        sddl = M().mutexes[it->second.name].security;
        if (sddl.empty()) // an object made without a descriptor has none
            sddl = u"D:NO_ACCESS_CONTROL";
    }
    return SecurityAnswer(sddl, info, owner, dacl, descriptor);
}
