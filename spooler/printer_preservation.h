// The product's printer queues kept across a reinstall: saved whole in the
// saved-queue record before the first is deleted, deleted before the driver
// goes, re-created with everything a user set on them afterwards.
#pragma once

#include "platform/win32.h"
#include "spooler/printer_record.h"

struct InstallContext;

// Every queue of ours and those an earlier run left in the record go into
// the record, on disk, before anything is deleted; each local queue stays
// open for its deletion. False when that cannot be done whole (logged): the
// run must then change nothing.
bool SavePrinters(InstallContext& context);
void RemoveAllPrinters(InstallContext& context);
void RemovePrinter(InstallContext& context, const WCHAR* name);
void RemoveConnection(InstallContext& context, const WCHAR* name);
// The uninstall's: a record an earlier run left has no queue to go back to.
void DiscardSavedPrinters(InstallContext& context);
HANDLE CreatePrinter(InstallContext& context, const WCHAR* name);
// Re-creates every saved queue; what came back whole leaves the record, and
// the record goes once nothing is left in it.
void RestorePrinters(InstallContext& context);
void ReleaseSavedPrinters(InstallContext& context);

// The settings link, whole, from the first place that holds a string; a
// global-heap copy or none. False when a place could not be read at all.
bool ReadSubKey(HANDLE printer, char*& subKey);
bool ClearDeletedMarker(const char* path);
// The per-user settings of a re-created printer are live again.
void ClearMarkerOf(const char* subKey);
