// Printer data: named, typed values that the spooler keeps per printer, under
// "PrinterDriverData" for the plain calls or under a key of the caller's
// choice ("DsUser" ...). They go when the printer is deleted. Only the ANSI
// calls are modelled; the data is kept as they write it.
#include "machine.h"
#include "sim_win32.h"

#include <cstring>

using namespace sim;

namespace {

// The plain calls are SetPrinterDataEx/GetPrinterDataEx with this key.
Text DataKey(const Text& key) {
    Text k = Upper(key);
    return k == u"PRINTERDRIVERDATA" ? Text() : k;
}

// The printer behind a handle that carries `need`, or null with `error` set.
Printer* DataPrinter(HANDLE h, DWORD need, DWORD& error) {
    Handle* handle = FindHandle(h, HandleKind::Printer);
    if (!handle) {
        error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (handle->name.empty()) {
        error = ERROR_NOT_SUPPORTED; // the print server's own values are not modelled
        return nullptr;
    }
    Printer* p = FindPrinter(handle->name);
    if (!p) {
        error = ERROR_INVALID_PRINTER_NAME; // deleted meanwhile
        return nullptr;
    }
    if ((handle->access & need) != need) {
        error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return p;
}

// Reading: the size is reported whether or not the buffer holds the data, and
// a buffer that is too small stays untouched (ERROR_MORE_DATA).
DWORD GetData(HANDLE h, const Text& key, LPCSTR name, LPDWORD type, LPBYTE data, DWORD size,
              LPDWORD needed) {
    if (SpoolerDown())
        return RPC_S_SERVER_UNAVAILABLE;
    if (!name || !needed)
        return RPC_X_NULL_REF_POINTER;
    DWORD error = 0;
    Printer* p = DataPrinter(h, 0, error);
    if (!p)
        return error;
    const PrinterData* value = FindPrinterData(*p, key, Widen(name));
    if (!value)
        return ERROR_FILE_NOT_FOUND;
    DWORD bytes = static_cast<DWORD>(value->bytes.size());
    bool text =
        value->type == REG_SZ || value->type == REG_EXPAND_SZ || value->type == REG_MULTI_SZ;
    *needed = M().printerDataUnicodeSize && text ? 2 * bytes : bytes;
    if (type)
        *type = value->type;
    if (size < *needed)
        return ERROR_MORE_DATA;
    if (bytes && !data)
        return RPC_X_NULL_REF_POINTER;
    if (bytes)
        std::memcpy(data, value->bytes.data(), bytes);
    return ERROR_SUCCESS;
}

// Writing needs the right to administer the printer; a key that does not
// exist yet is created.
DWORD SetData(HANDLE h, const Text& key, LPCSTR name, DWORD type, const BYTE* data, DWORD size) {
    if (SpoolerDown())
        return RPC_S_SERVER_UNAVAILABLE;
    if (!name || (!data && size))
        return RPC_X_NULL_REF_POINTER;
    DWORD error = 0;
    Printer* p = DataPrinter(h, PRINTER_ACCESS_ADMINISTER, error);
    if (!p)
        return error;
    SetPrinterData(*p, key, Widen(name), type, std::vector<uint8_t>(data, data + size));
    return ERROR_SUCCESS;
}

} // namespace

namespace sim {

void SetPrinterData(Printer& printer, const Text& key, const Text& name, DWORD type,
                    const std::vector<uint8_t>& bytes) {
    PrinterData& value = printer.data[DataKey(key)][Upper(name)];
    value.type = type;
    value.bytes = bytes;
}

void SetPrinterString(Printer& printer, const Text& key, const Text& name,
                      const std::string& text) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    SetPrinterData(printer, key, name, REG_SZ, bytes);
}

PrinterData* FindPrinterData(Printer& printer, const Text& key, const Text& name) {
    auto values = printer.data.find(DataKey(key));
    if (values == printer.data.end())
        return nullptr;
    auto value = values->second.find(Upper(name));
    return value == values->second.end() ? nullptr : &value->second;
}

std::string PrinterString(Printer& printer, const Text& key, const Text& name) {
    const PrinterData* value = FindPrinterData(printer, key, name);
    if (!value)
        return std::string();
    std::string text(value->bytes.begin(), value->bytes.end());
    return text.substr(0, text.find('\0'));
}

} // namespace sim

DWORD GetPrinterDataA(HANDLE printer, LPSTR name, LPDWORD type, LPBYTE data, DWORD size,
                      LPDWORD needed) {
    if (Enter("GetPrinterDataA"))
        return GetLastError();
    return GetData(printer, Text(), name, type, data, size, needed);
}

DWORD GetPrinterDataExA(HANDLE printer, LPCSTR key, LPCSTR name, LPDWORD type, LPBYTE data,
                        DWORD size, LPDWORD needed) {
    if (Enter("GetPrinterDataExA"))
        return GetLastError();
    if (SpoolerDown())
        return RPC_S_SERVER_UNAVAILABLE;
    if (!key || !key[0])
        return ERROR_INVALID_PARAMETER;
    return GetData(printer, Widen(key), name, type, data, size, needed);
}

DWORD SetPrinterDataA(HANDLE printer, LPSTR name, DWORD type, LPBYTE data, DWORD size) {
    if (Enter("SetPrinterDataA"))
        return GetLastError();
    return SetData(printer, Text(), name, type, data, size);
}

DWORD SetPrinterDataExA(HANDLE printer, LPCSTR key, LPCSTR name, DWORD type, LPBYTE data,
                        DWORD size) {
    if (Enter("SetPrinterDataExA"))
        return GetLastError();
    if (SpoolerDown())
        return RPC_S_SERVER_UNAVAILABLE;
    if (!key || !key[0])
        return ERROR_INVALID_PARAMETER;
    return SetData(printer, Widen(key), name, type, data, size);
}
