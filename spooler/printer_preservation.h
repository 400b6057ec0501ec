// The product's printer queues kept across a reinstall: remembered and deleted
// before the driver goes, re-created with their settings afterwards.
#pragma once

#include "platform/win32.h"

struct InstallContext;

struct SavedPrinter {
    char* subKey;           // global-heap ANSI copy of "SubKey", owned
    PRINTER_INFO_2W* entry; // inside the context's inventory, not owned
    SavedPrinter* next;
};

void RemoveAllPrinters(InstallContext& context);
void SavePrinterSettings(InstallContext& context, PRINTER_INFO_2W* entry);
void ReadSubKey(HANDLE printer, char* buffer);
void RemovePrinter(InstallContext& context, const WCHAR* name);
void RemoveConnection(InstallContext& context, const WCHAR* name);
HANDLE CreatePrinter(InstallContext& context, const WCHAR* name);
BOOL WriteSubKey(HANDLE printer, const char* subKey);
bool ClearDeletedMarker(const char* path);
void RestorePrinters(InstallContext& context);
void ReleaseSavedPrinters(SavedPrinter*& list);
