#include "spooler/printer_inventory.h"

#include "common/call_buffer.h"

namespace {

const DWORD EnumFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
// Room behind the spooler's records: port texts grow back in place there.
const DWORD InventorySlack = 32;

// The spooler names a printer in any letter case, and Windows keeps the
// default printer in the spelling it was set in ("office" for "Office").
bool SamePrinterName(const WCHAR* a, const WCHAR* b) {
    return a && b && CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

} // namespace

void ReleaseInventory(PrinterInventory& inventory) {
    GlobalFree(inventory.entries);
    inventory.entries = nullptr;
    inventory.count = 0;
    inventory.failure = ERROR_SUCCESS;
}

void TakeInventory(PrinterInventory& inventory) {
    ReleaseInventory(inventory);
    DWORD count = 0;
    CallBuffer answer = ReadCallBuffer(
        [&count](LPBYTE block, DWORD size, DWORD* needed) {
            return EnumPrintersW(EnumFlags, nullptr, 2, block, size, needed, &count);
        },
        InventorySlack);
    if (answer.step != BufferStep::Read) {
        bool none = answer.step == BufferStep::SizeAnswered;
        inventory.failure = none          ? ERROR_SUCCESS
                            : answer.code ? answer.code
                                          : ERROR_NOT_ENOUGH_MEMORY;
        return;
    }
    inventory.entries = reinterpret_cast<PRINTER_INFO_2W*>(answer.block);
    inventory.count = count;
}

void MarkDefaultPrinter(PrinterInventory& inventory) {
    TakeInventory(inventory);
    WCHAR buffer[DefaultPrinterNameCapacity] = {0};
    WCHAR* name = buffer;
    DWORD size = DefaultPrinterNameCapacity;
    bool known = GetDefaultPrinterW(name, &size) != FALSE;
    // A longer name (a connection's, say) is asked for again with the room
    // it needs: a default not marked is a default lost by a reinstall.
    if (!known && GetLastError() == ERROR_INSUFFICIENT_BUFFER &&
        (name = static_cast<WCHAR*>(GlobalAlloc(GPTR, size * sizeof(WCHAR)))))
        known = GetDefaultPrinterW(name, &size) != FALSE;
    for (uint32_t i = 0; known && i < inventory.count; ++i)
        if (SamePrinterName(inventory.entries[i].pPrinterName, name))
            inventory.entries[i].Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
    if (name != buffer)
        GlobalFree(name);
}

PrinterInfoBlock ReadPrinterInfo(HANDLE printer) {
    CallBuffer answer = ReadCallBuffer([printer](LPBYTE block, DWORD size, DWORD* needed) {
        return GetPrinterW(printer, 2, block, size, needed);
    });
    return {reinterpret_cast<PRINTER_INFO_2W*>(answer.block), answer.needed};
}

BOOL ClosePrinterHandle(HANDLE printer) {
    return ClosePrinter(printer);
}

HANDLE AddPrinterLevel2(PRINTER_INFO_2W* info) {
    return AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(info));
}

bool IsConnection(const PRINTER_INFO_2W& entry) {
    const WCHAR* name = entry.pPrinterName;
    return name && name[0] == W('\\') && name[1] == W('\\');
}

BOOL PurgeAndDeletePrinter(HANDLE printer) {
    SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PURGE);
    return DeletePrinter(printer);
}
