// Who runs the installer: the session it runs in and the kind of token it
// has. A deployment runs it as LocalSystem in session 0, where nobody sees
// anything; an administrator runs it elevated in a session of their own.
#pragma once

#include "platform/win32.h"

struct RunAccount {
    bool known;         // the token could be read; the rest means nothing otherwise
    DWORD session;      // 0: the services' session
    bool splitElevated; // the elevated half of an administrator's UAC token
};

RunAccount ReadRunAccount();
// A service run: known, and in session 0.
bool RunsAsService(const RunAccount& account);
