// Who besides the administrators can change a folder, a file or a named
// object: its owner, and every account its DACL lets write to it, delete it
// or change its security. What an elevated run takes from somewhere is only
// as safe as that list is short.
#pragma once

#include "common/wide_string.h"
#include "platform/win32.h"

#include <cstddef>
#include <cstdint>

const size_t SidCapacity = 68;      // the largest SID there is
const size_t AccountCapacity = 256; // "DOMAIN\name", or the SID as text

// Writing, appending, deleting, re-securing: what makes a file another's.
const DWORD FileChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC |
                               WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// A folder whose files we take: adding to it counts too.
const DWORD FolderChangeRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                 DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// A folder further up: only what could move or replace what lies below it.
// (Authenticated Users may make folders in a drive's root; that moves nothing.)
const DWORD PathChangeRights = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

extern const BYTE AdministratorsSid[16];
extern BYTE EveryoneSid[12];

// The run's own accounts: the token's user, and the owner its objects get.
struct OwnAccounts {
    BYTE User[SidCapacity];
    BYTE Owner[SidCapacity];
};
// False, with the failing call's error, when the token cannot be read.
bool ReadOwnAccounts(OwnAccounts& own, DWORD& code);

// SYSTEM, Administrators, TrustedInstaller, or one of the run's own accounts.
bool TrustedOwner(const OwnAccounts& own, PSID owner);

// Another account that can change an object with this owner and DACL (a null
// DACL lets everyone): the owner itself unless it is SYSTEM, Administrators,
// TrustedInstaller or one of the run's own accounts, else the first account
// besides those that an allowing ACE gives any of `rights`. Null: nobody.
PSID WhoElseCanChange(const OwnAccounts& own, PSID owner, const ACL* dacl, DWORD rights);

// "BUILTIN\Users"; the SID as text when the account has no name here.
void NameAccount(PSID sid, WCHAR* name, size_t capacity);

// Why a run was refused before it changed anything: the numbered error for
// its log and what the message names.
struct Refusal {
    uint32_t Number = 0;
    DWORD Code = 0;     // the failing call's error, for the description
    WideString Subject; // a path or the lock's name
    WCHAR Account[AccountCapacity] = {};
};
// Fills `refusal` (naming `account` when given) and returns false, so that a
// check can end with it.
bool Refuse(Refusal& refusal, uint32_t number, DWORD code, const WCHAR* subject,
            PSID account = nullptr);
