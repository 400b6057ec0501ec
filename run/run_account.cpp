#include "run/run_account.h"

RunAccount ReadRunAccount() {
    RunAccount account = {false, 0, false};
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return account;
    DWORD session = 0;
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD bytes = 0;
    if (GetTokenInformation(token, TokenSessionId, &session, sizeof session, &bytes) &&
        GetTokenInformation(token, TokenElevationType, &type, sizeof type, &bytes)) {
        account.known = true;
        account.session = session;
        account.splitElevated = type == TokenElevationTypeFull;
    }
    CloseHandle(token);
    return account;
}

bool RunsAsService(const RunAccount& account) {
    return account.known && account.session == 0;
}
