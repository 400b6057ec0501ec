// The saved-queue record: every queue of ours that a reinstall is about to
// delete, with what a user set on it, kept in the machine's registry from
// before the first deletion until each queue is back whole. It is the only
// state the installer keeps between runs: a run that dies half-way leaves it
// for the next one.
#pragma once

#include "platform/win32.h"

#include <cstdint>

// Below HKEY_LOCAL_MACHINE; the path as the log names it.
extern const WCHAR SavedRecordKey[];
extern const WCHAR SavedRecordPath[];

const uint32_t SavedDefault = 1;    // the user's default printer
const uint32_t SavedConnection = 2; // "\\server\queue": only its name and default state
const uint32_t SavedEarlier = 4;    // gone when the run that wrote the record began

// One queue as the record holds it. Its texts and blocks lie in the record's
// block; port, driver and server are not kept (a queue of ours is re-created
// on our port and driver).
struct SavedPrinter {
    PRINTER_INFO_2W info;
    const char* subKey; // ANSI, any length; none without one
    DWORD securityBytes;
    uint32_t flags;
    bool whole; // this run gave it back whole
    SavedPrinter* next;
};

// A record of every queue of `list` (only those not given back whole, with
// `unfinished`), in list order; global heap, the caller's to free. Null when
// there is none or no memory (then `code` says so).
BYTE* BuildSavedRecord(const SavedPrinter* list, bool unfinished, DWORD& bytes, DWORD& code);
// The queues of a record, newest first, pointing into `block`; ERROR_SUCCESS,
// ERROR_INVALID_DATA when the record is not whole and sound, or
// ERROR_NOT_ENOUGH_MEMORY. Nothing is left allocated on failure.
DWORD ParseSavedRecord(const BYTE* block, DWORD bytes, SavedPrinter*& list);
void ReleaseSavedList(SavedPrinter*& list);

// The record in the registry: ERROR_FILE_NOT_FOUND when there is none.
DWORD ReadSavedRecord(BYTE*& block, DWORD& bytes);
// Replaced whole and flushed to disk before it returns.
DWORD WriteSavedRecord(const BYTE* block, DWORD bytes);
// Gone with its key, flushed; ERROR_FILE_NOT_FOUND when there was none.
DWORD DeleteSavedRecord();
