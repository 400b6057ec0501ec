#include "spooler/printer_preservation.h"

void ReleaseSavedPrinters(SavedPrinter*& list) {
    while (list) {
        SavedPrinter* next = list->next;
        GlobalFree(list->subKey);
        GlobalFree(list);
        list = next;
    }
}
