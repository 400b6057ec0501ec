#include "spooler/printer_inventory.h"

#include "common/text.h"

#include <cstring>

namespace {

const DWORD EnumFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
// Room behind the spooler's records: port texts grow back in place there.
const DWORD InventorySlack = 32;
const DWORD DefaultNameCapacity = 255;

} // namespace

void ReleaseInventory(PrinterInventory& inventory) {
    GlobalFree(inventory.entries);
    inventory.entries = nullptr;
    inventory.count = 0;
}

void TakeInventory(PrinterInventory& inventory) {
    ReleaseInventory(inventory);
    DWORD needed = 0;
    DWORD count = 0;
    if (EnumPrintersW(EnumFlags, nullptr, 2, nullptr, 0, &needed, &count))
        return;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return;
    // Counted in SIZE_T: a 32-bit sum could wrap to a block smaller than `needed`.
    SIZE_T bytes = static_cast<SIZE_T>(needed) + InventorySlack;
    void* block = GlobalAlloc(GMEM_FIXED, bytes);
    if (!block)
        return;
    std::memset(block, 0, bytes);
    inventory.entries = static_cast<PRINTER_INFO_2W*>(block);
    if (!EnumPrintersW(EnumFlags, nullptr, 2, static_cast<LPBYTE>(block), needed, &needed,
                       &count)) {
        ReleaseInventory(inventory);
        return;
    }
    inventory.count = count;
}

void MarkDefaultPrinter(PrinterInventory& inventory) {
    TakeInventory(inventory);
    WCHAR name[DefaultNameCapacity] = {0};
    DWORD size = DefaultNameCapacity;
    if (!GetDefaultPrinterW(name, &size))
        return;
    for (uint32_t i = 0; i < inventory.count; ++i)
        if (TextEqual(inventory.entries[i].pPrinterName, name))
            inventory.entries[i].Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
}

PrinterInfoBlock ReadPrinterInfo(HANDLE printer) {
    PrinterInfoBlock result = {nullptr, 0};
    GetPrinterW(printer, 2, nullptr, 0, &result.needed);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return result;
    void* block = GlobalAlloc(GMEM_FIXED, result.needed);
    if (!block)
        return result;
    std::memset(block, 0, result.needed);
    if (!GetPrinterW(printer, 2, static_cast<LPBYTE>(block), result.needed, &result.needed)) {
        GlobalFree(block);
        return result;
    }
    result.info = static_cast<PRINTER_INFO_2W*>(block);
    return result;
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
