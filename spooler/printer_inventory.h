// The snapshot of the machine's printers (local queues and connections) at
// level 2, and the thin spooler helpers around single printers.
#pragma once

#include "platform/win32.h"
#include "run/install_context.h"

#include <cstdint>

// Room for the default printer's name, terminator included.
const DWORD DefaultPrinterNameCapacity = 260;

struct PrinterInfoBlock {
    PRINTER_INFO_2W* info; // global-heap block, the caller's to free
    DWORD needed;
};

void TakeInventory(PrinterInventory& inventory);
void ReleaseInventory(PrinterInventory& inventory);
void MarkDefaultPrinter(PrinterInventory& inventory);
PrinterInfoBlock ReadPrinterInfo(HANDLE printer);
BOOL ClosePrinterHandle(HANDLE printer);
HANDLE AddPrinterLevel2(PRINTER_INFO_2W* info);
BOOL PurgeAndDeletePrinter(HANDLE printer);
// A connection ("\\server\queue"): its handle is the server's queue, which
// is never ours to purge, delete or change.
bool IsConnection(const PRINTER_INFO_2W& entry);
