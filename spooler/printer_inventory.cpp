#include "spooler/printer_inventory.h"

void ReleaseInventory(PrinterInventory& inventory) {
    GlobalFree(inventory.entries);
    inventory.entries = nullptr;
    inventory.count = 0;
}
