#include "install/who_can_change.h"

#include "common/text.h"

#include <cstring>

const BYTE AdministratorsSid[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
BYTE EveryoneSid[12] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};

namespace {

const BYTE SystemSid[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
const BYTE TrustedInstallerSid[] = {1,  6,   0,   0,   0,   0,   0,   5,   80,  0,  0,
                                    0,  181, 137, 251, 56,  25,  132, 194, 203, 92, 108,
                                    35, 109, 87,  0,   119, 110, 192, 2,   100, 135};
const BYTE CreatorOwnerSid[] = {1, 1, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0};
const BYTE OwnerRightsSid[] = {1, 1, 0, 0, 0, 0, 0, 3, 4, 0, 0, 0};

size_t SidLength(const void* sid) {
    return 8 + 4 * static_cast<size_t>(static_cast<const BYTE*>(sid)[1]);
}

bool SameSid(const void* a, const void* b) {
    return SidLength(a) == SidLength(b) && std::memcmp(a, b, SidLength(a)) == 0;
}

bool IsTrusted(const OwnAccounts& own, const void* sid) {
    return SameSid(sid, SystemSid) || SameSid(sid, AdministratorsSid) ||
           SameSid(sid, TrustedInstallerSid) || SameSid(sid, own.User);
}

bool CopySid(BYTE* to, const void* sid) {
    if (!sid || SidLength(sid) > SidCapacity)
        return false;
    std::memcpy(to, sid, SidLength(sid));
    return true;
}

// One SID of the token: the first field of TOKEN_USER and TOKEN_OWNER alike.
bool ReadTokenSid(HANDLE token, TOKEN_INFORMATION_CLASS kind, BYTE* sid, DWORD& code) {
    alignas(8) BYTE buffer[sizeof(TOKEN_USER) + SidCapacity];
    DWORD needed = 0;
    if (!GetTokenInformation(token, kind, buffer, sizeof buffer, &needed)) {
        code = GetLastError();
        return false;
    }
    PSID found = nullptr;
    std::memcpy(&found, buffer, sizeof found);
    code = ERROR_INVALID_DATA;
    return CopySid(sid, found);
}

// An ACE that grants (conditional ones may, so they count).
bool Allows(const ACE_HEADER* ace) {
    return (ace->AceType == ACCESS_ALLOWED_ACE_TYPE ||
            ace->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE) &&
           !(ace->AceFlags & INHERIT_ONLY_ACE);
}

} // namespace

bool ReadOwnAccounts(OwnAccounts& own, DWORD& code) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        code = GetLastError();
        return false;
    }
    bool read = ReadTokenSid(token, TokenUser, own.User, code) &&
                ReadTokenSid(token, TokenOwner, own.Owner, code);
    CloseHandle(token);
    return read;
}

// What the run creates gets its token's default owner (on Wine a group of
// the account): that owner is the run's own too.
bool TrustedOwner(const OwnAccounts& own, PSID owner) {
    return owner && (IsTrusted(own, owner) || SameSid(owner, own.Owner));
}

PSID WhoElseCanChange(const OwnAccounts& own, PSID owner, const ACL* dacl, DWORD rights) {
    if (!TrustedOwner(own, owner))
        return owner ? owner : EveryoneSid;
    if (!dacl)
        return EveryoneSid;
    const BYTE* at = reinterpret_cast<const BYTE*>(dacl) + sizeof(ACL);
    const BYTE* end = reinterpret_cast<const BYTE*>(dacl) + dacl->AclSize;
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        const ACE_HEADER* ace = reinterpret_cast<const ACE_HEADER*>(at);
        if (end - at < static_cast<ptrdiff_t>(sizeof(ACCESS_ALLOWED_ACE)) ||
            ace->AceSize > end - at)
            return EveryoneSid; // a list that cannot be read protects nothing
        const ACCESS_ALLOWED_ACE* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(ace);
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        if (Allows(ace) && (allowed->Mask & rights) && !IsTrusted(own, sid) &&
            !SameSid(sid, CreatorOwnerSid) && !SameSid(sid, OwnerRightsSid))
            return sid;
        at += ace->AceSize;
    }
    return nullptr;
}

void NameAccount(PSID sid, WCHAR* name, size_t capacity) {
    WCHAR user[AccountCapacity];
    WCHAR domain[AccountCapacity];
    DWORD userSize = AccountCapacity;
    DWORD domainSize = AccountCapacity;
    SID_NAME_USE use;
    LPWSTR text = nullptr;
    if (LookupAccountSidW(nullptr, sid, user, &userSize, domain, &domainSize, &use))
        FormatText(name, capacity, domain[0] ? W("%s\\%s") : W("%s%s"), domain, user);
    else if (ConvertSidToStringSidW(sid, &text))
        FormatText(name, capacity, W("%s"), text);
    else
        FormatText(name, capacity, W("an account without a name"));
    LocalFree(text);
}

bool Refuse(Refusal& refusal, uint32_t number, DWORD code, const WCHAR* subject, PSID account) {
    refusal.Number = number;
    refusal.Code = code;
    Release(refusal.Subject);
    if (subject && !Assign(refusal.Subject, subject))
        Release(refusal.Subject);
    refusal.Account[0] = 0;
    if (account)
        NameAccount(account, refusal.Account, AccountCapacity);
    return false;
}
