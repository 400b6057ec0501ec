// The printer state of the people logged on while the installer runs as a
// service (LocalSystem for a deployment): each one's default printer, the
// "Device" value in their own hive, and their printer connections. The
// service's own default is another account's, and its printer list holds
// none of the users' connections.
#pragma once

#include "platform/win32.h"

struct InstallContext;

struct UserDefault {
    WCHAR* sid;    // the user's hive under HKEY_USERS; global heap
    WCHAR* device; // "Device" as read, "name,winspool,port"; global heap
    UserDefault* next;
};

// In a run as a service: remembers every loaded profile whose default
// printer is a local queue of ours in the context's inventory.
void RememberUserDefaults(InstallContext& context);
// Makes each remembered default the user's default again where its queue
// exists again, logging each one that had to be set.
void RestoreUserDefaults(InstallContext& context);
// In a run as a service: logs each user's printer connection on our driver,
// which keeps the driver in use whatever the service does.
void NameUsersConnections(InstallContext& context);
void ReleaseUserDefaults(UserDefault*& list);
