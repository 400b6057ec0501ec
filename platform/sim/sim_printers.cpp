// The spooler's printers: enumeration, handles with their access rights,
// level-2 descriptions, creation, deletion and the user's default printer.
#include "machine.h"
#include "sim_win32.h"

#include <cstring>

using namespace sim;

namespace {

// Handles of printers: the Handle's name is the printer's name.
Handle* PrinterHandle(HANDLE h) {
    return FindHandle(h, HandleKind::Printer);
}

const char16_t* const standardPorts[] = {u"LPT1:", u"LPT2:", u"LPT3:", u"COM1:",
                                         u"COM2:", u"COM3:", u"COM4:", u"FILE:"};

// Room for a block the spooler places on an 8-byte boundary.
size_t BlockBytes(const std::vector<uint8_t>& bytes) {
    return bytes.empty() ? 0 : bytes.size() + 8;
}

void* PackBlock(LPBYTE block, size_t& offset, const std::vector<uint8_t>& bytes) {
    if (bytes.empty())
        return nullptr;
    offset = (offset + 7) / 8 * 8;
    void* out = block + offset;
    std::memcpy(out, bytes.data(), bytes.size());
    offset += bytes.size();
    return out;
}

const std::vector<uint8_t>& SecurityOf(const Printer& p) {
    static const std::vector<uint8_t> fallback = SecurityDescriptor(544);
    return p.security.empty() ? fallback : p.security;
}

// The security descriptor comes only with a handle that may read it.
size_t Info2Bytes(const Printer& p, bool security = false) {
    return sizeof(PRINTER_INFO_2W) + StringBytes(p.server) + StringBytes(p.name) +
           StringBytes(p.share) + StringBytes(p.port) + StringBytes(p.driver) +
           StringBytes(p.comment) + StringBytes(p.location) + StringBytes(p.sepFile) +
           StringBytes(p.printProcessor) + StringBytes(p.datatype) + StringBytes(p.parameters) +
           BlockBytes(p.devMode) + (security ? BlockBytes(SecurityOf(p)) : 0);
}

void FillInfo2(const Printer& p, PRINTER_INFO_2W& r, LPBYTE block, size_t& offset,
               bool security = false) {
    r = PRINTER_INFO_2W{};
    r.pServerName = PackString(block, offset, p.server);
    r.pPrinterName = PackString(block, offset, p.name);
    r.pShareName = PackString(block, offset, p.share);
    r.pPortName = PackString(block, offset, p.port);
    r.pDriverName = PackString(block, offset, p.driver);
    r.pComment = PackString(block, offset, p.comment);
    r.pLocation = PackString(block, offset, p.location);
    r.pSepFile = PackString(block, offset, p.sepFile);
    r.pPrintProcessor = PackString(block, offset, p.printProcessor);
    r.pDatatype = PackString(block, offset, p.datatype);
    r.pParameters = PackString(block, offset, p.parameters);
    r.pDevMode = static_cast<LPDEVMODEW>(PackBlock(block, offset, p.devMode));
    if (security)
        r.pSecurityDescriptor = PackBlock(block, offset, SecurityOf(p));
    r.Attributes = p.attributes;
    r.Priority = p.priority;
    r.DefaultPriority = p.defaultPriority;
    r.StartTime = p.startTime;
    r.UntilTime = p.untilTime;
    r.Status = p.status;
    r.cJobs = p.jobs;
}

std::vector<uint8_t> Bytes(const void* data, size_t size) {
    const uint8_t* b = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(b, b + size);
}

// MS-RPRN: dmSize and dmDriverExtra must describe a DEVMODE of the public
// part at least; 0 when they do not.
size_t DevModeBytes(const DEVMODEW* dm) {
    if (dm->dmSize < offsetof(DEVMODEW, dmFields) + sizeof(DWORD) || dm->dmSize > sizeof(DEVMODEW))
        return 0;
    return static_cast<size_t>(dm->dmSize) + dm->dmDriverExtra;
}

// The fields of a description the spooler checks beyond names, port and
// driver (MS-RPRN PRINTER_CONTAINER, DEVMODE_CONTAINER, SECURITY_CONTAINER).
DWORD RefusedField(const PRINTER_INFO_2W& r) {
    if (r.pDevMode && DevModeBytes(r.pDevMode) == 0)
        return ERROR_INVALID_PARAMETER;
    if (r.pSecurityDescriptor && GetSecurityDescriptorLength(r.pSecurityDescriptor) == 0)
        return ERROR_INVALID_PARAMETER;
    if (r.pSepFile && r.pSepFile[0] && !FileExists(r.pSepFile))
        return ERROR_INVALID_SEPARATOR_FILE;
    if ((r.Attributes & PRINTER_ATTRIBUTE_SHARED) && M().shareError)
        return M().shareError;
    return ERROR_SUCCESS;
}

// What a description sets besides names, port and driver. Publishing is the
// directory's: only SetPrinterW level 7 changes it.
void TakeFields(Printer& p, const PRINTER_INFO_2W& r) {
    p.share = r.pShareName ? Text(r.pShareName) : Text();
    p.comment = r.pComment ? Text(r.pComment) : Text();
    p.location = r.pLocation ? Text(r.pLocation) : Text();
    p.sepFile = r.pSepFile ? Text(r.pSepFile) : Text();
    p.parameters = r.pParameters ? Text(r.pParameters) : Text();
    if (r.pDevMode)
        p.devMode = Bytes(r.pDevMode, DevModeBytes(r.pDevMode));
    if (r.pSecurityDescriptor)
        p.security =
            Bytes(r.pSecurityDescriptor, GetSecurityDescriptorLength(r.pSecurityDescriptor));
    // The default mark is the user's, not the queue's: the spooler keeps its own.
    p.attributes = (r.Attributes &
                    ~static_cast<DWORD>(PRINTER_ATTRIBUTE_DEFAULT | PRINTER_ATTRIBUTE_PUBLISHED)) |
                   (p.attributes & PRINTER_ATTRIBUTE_PUBLISHED) |
                   (p.connection ? PRINTER_ATTRIBUTE_NETWORK : PRINTER_ATTRIBUTE_LOCAL);
    p.defaultPriority = r.DefaultPriority;
    p.startTime = r.StartTime;
    p.untilTime = r.UntilTime;
}

Text Str(LPCWSTR text) {
    return text ? Text(text) : Text();
}

bool PendingDeletion(const Printer& p) {
    return (p.status & PRINTER_STATUS_PENDING_DELETION) != 0;
}

// The printer named by a "Device" value ("name,winspool,port").
Text DevicePrinter(const RegValue& v) {
    Text text;
    for (size_t i = 0; i + 1 < v.data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(v.data[i] | (v.data[i + 1] << 8));
        if (c == 0 || c == u',')
            break;
        text.push_back(c);
    }
    return text;
}

// The printer goes with its data; a default printer that goes leaves none,
// for the caller and for every logged-on user whose default it was.
void RemovePrinter(Printer* p) {
    if (UpperName(M().defaultPrinter) == UpperName(p->name))
        M().defaultPrinter.clear();
    for (auto& entry : M().keys) {
        auto device = entry.second.values.find(u"DEVICE");
        if (entry.first.compare(0, 4, u"HKU\\") == 0 && device != entry.second.values.end() &&
            Upper(DevicePrinter(device->second)) == Upper(p->name))
            entry.second.values.erase(device);
    }
    for (size_t i = 0; i < M().printers.size(); ++i)
        if (&M().printers[i] == p) {
            M().printers.erase(M().printers.begin() + static_cast<long>(i));
            return;
        }
}

bool DriverExists(const Text& name) {
    for (const Driver& d : M().drivers)
        if (Upper(d.name) == Upper(name) && Upper(d.environment) == u"WINDOWS X64")
            return true;
    return false;
}

bool DatatypeKnown(const Text& datatype) {
    Text d = Upper(datatype);
    return d == u"RAW" || d == u"TEXT" || d == u"NT EMF 1.008" || d == u"RAW [FF APPENDED]" ||
           d == u"RAW [FF AUTO]";
}

} // namespace

namespace sim {

std::vector<uint8_t> SecurityDescriptor(DWORD ownerRid) {
    // Revision 1, self-relative with a DACL; the owner SID at 20, the DACL at 36.
    std::vector<uint8_t> sd = {1, 0,  0x04, 0x80, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0,
                               0, 36, 0,    0,    0,  1, 2, 0, 0, 0, 0, 0, 5, 32, 0,
                               0, 0,  0,    0,    0,  0, 2, 0, 8, 0, 0, 0, 0, 0};
    std::memcpy(&sd[32], &ownerRid, sizeof ownerRid);
    return sd;
}

size_t StringBytes(const Text& text) {
    return text.empty() ? 0 : (text.size() + 1) * 2;
}

// An empty text is reported as no string at all, as the spooler does for
// fields that were never set.
LPWSTR PackString(LPBYTE block, size_t& offset, const Text& text) {
    if (text.empty())
        return nullptr;
    LPWSTR out = reinterpret_cast<LPWSTR>(block + offset);
    std::memcpy(out, text.data(), text.size() * 2);
    out[text.size()] = 0;
    offset += (text.size() + 1) * 2;
    return out;
}

bool PortExists(const Text& portList) {
    if (portList.empty())
        return false;
    size_t start = 0;
    while (start <= portList.size()) {
        size_t end = portList.find(u',', start);
        Text port = Upper(portList.substr(start, end == Text::npos ? Text::npos : end - start));
        bool known = false;
        for (const char16_t* p : standardPorts)
            known = known || port == p;
        for (const Monitor& m : M().monitors)
            known = known || (!m.name.empty() && m.name.back() == u':' && Upper(m.name) == port);
        if (!known)
            return false;
        if (end == Text::npos)
            break;
        start = end + 1;
    }
    return true;
}

Printer* FindPrinter(const Text& name) {
    for (Printer& p : M().printers)
        if (UpperName(p.name) == UpperName(name))
            return &p;
    return nullptr;
}

Printer& AddPrinter(const Text& name, const Text& driver, const Text& port) {
    Printer p;
    p.name = name;
    p.driver = driver;
    p.port = port;
    if (name.compare(0, 2, u"\\\\") == 0) {
        p.connection = true;
        p.server = name.substr(0, name.find(u'\\', 2));
        p.attributes = PRINTER_ATTRIBUTE_NETWORK;
    }
    M().printers.push_back(p);
    return M().printers.back();
}

Printer& AddConnection(const Text& name, const Text& driver) {
    M().serverQueues[Upper(name)] = driver;
    return AddPrinter(name, driver, Text());
}

Printer& AddUserConnection(const Text& sid, const Text& name, const Text& driver) {
    Text key = name;
    for (char16_t& c : key)
        if (c == u'\\')
            c = u',';
    CreateKey(u"HKU\\" + sid + u"\\Printers\\Connections\\" + key);
    Printer& p = AddConnection(name, driver);
    p.user = sid;
    return p;
}

Text UserWindowsKey(const Text& sid) {
    return u"HKU\\" + sid + u"\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
}

} // namespace sim

BOOL EnumPrintersW(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                   LPDWORD returned) {
    BOOL result = FALSE;
    int call = CallCount("EnumPrintersW") + 1;
    if (!Enter("EnumPrintersW") && !SpoolerDown()) {
        if (needed)
            *needed = 0;
        if (returned)
            *returned = 0;
        if (!needed || !returned) {
            SetError(RPC_X_NULL_REF_POINTER);
        } else if (level != 2) {
            SetError(ERROR_INVALID_LEVEL);
        } else if (name && name[0]) {
            SetError(ERROR_INVALID_NAME);
        } else {
            std::vector<const Printer*> listed;
            for (const Printer& p : M().printers)
                // A connection is its user's: only the caller's are listed.
                if (!PendingDeletion(p) && ((p.connection && (flags & PRINTER_ENUM_CONNECTIONS) &&
                                             (p.user.empty() || p.user == M().token.sid)) ||
                                            (!p.connection && (flags & PRINTER_ENUM_LOCAL))))
                    listed.push_back(&p);
            size_t bytes = 0;
            for (const Printer* p : listed)
                bytes += Info2Bytes(*p);
            *needed = static_cast<DWORD>(bytes);
            if (bytes > size || (bytes && !buffer)) {
                SetError(ERROR_INSUFFICIENT_BUFFER);
            } else {
                size_t offset = listed.size() * sizeof(PRINTER_INFO_2W);
                PRINTER_INFO_2W* records = reinterpret_cast<PRINTER_INFO_2W*>(buffer);
                for (size_t i = 0; i < listed.size(); ++i)
                    FillInfo2(*listed[i], records[i], buffer, offset);
                *returned = static_cast<DWORD>(listed.size());
                result = TRUE;
            }
        }
    }
    if (M().afterEnumPrinters) {
        auto hook = M().afterEnumPrinters;
        hook(call);
    }
    return result;
}

BOOL OpenPrinterW(LPWSTR name, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults) {
    if (printer)
        *printer = nullptr;
    if (Enter("OpenPrinterW") || SpoolerDown())
        return FALSE;
    if (!printer) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD access =
        defaults && defaults->DesiredAccess ? defaults->DesiredAccess : PRINTER_ACCESS_USE;
    Text target;
    if (name && name[0]) {
        Printer* p = FindPrinter(name);
        if (!p || PendingDeletion(*p)) {
            SetError(ERROR_INVALID_PRINTER_NAME);
            return FALSE;
        }
        target = p->name;
    } else {
        access = defaults && defaults->DesiredAccess ? defaults->DesiredAccess
                                                     : SERVER_ACCESS_ADMINISTER;
    }
    if (defaults && defaults->pDatatype && !DatatypeKnown(defaults->pDatatype)) {
        SetError(ERROR_INVALID_DATATYPE);
        return FALSE;
    }
    *printer = NewHandle(HandleKind::Printer, target, access);
    return TRUE;
}

namespace {

// The printer behind a handle that carries `need`, or null with the error set.
Printer* OpenedPrinter(HANDLE h, DWORD need) {
    Handle* handle = PrinterHandle(h);
    if (!handle) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    Printer* p = handle->name.empty() ? nullptr : FindPrinter(handle->name);
    if (!p) {
        SetError(ERROR_INVALID_PRINTER_NAME); // deleted meanwhile, or the server handle
        return nullptr;
    }
    if ((handle->access & need) != need) {
        SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return p;
}

} // namespace

// Level 3 (the security descriptor) and the descriptor in level 2 need
// READ_CONTROL on the handle.
BOOL GetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) {
    if (Enter("GetPrinterW") || SpoolerDown())
        return FALSE;
    Printer* p = OpenedPrinter(printer, 0);
    if (!p)
        return FALSE;
    bool readControl = (PrinterHandle(printer)->access & READ_CONTROL) != 0;
    if (level != 2 && level != 3) {
        SetError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (level == 3 && !readControl) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    size_t bytes = level == 2 ? Info2Bytes(*p, readControl)
                              : sizeof(PRINTER_INFO_3) + BlockBytes(SecurityOf(*p));
    if (needed)
        *needed = static_cast<DWORD>(bytes);
    if (!buffer || size < bytes) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (level == 3) {
        size_t offset = sizeof(PRINTER_INFO_3);
        reinterpret_cast<PRINTER_INFO_3*>(buffer)->pSecurityDescriptor =
            PackBlock(buffer, offset, SecurityOf(*p));
        return TRUE;
    }
    size_t offset = sizeof(PRINTER_INFO_2W);
    FillInfo2(*p, *reinterpret_cast<PRINTER_INFO_2W*>(buffer), buffer, offset, readControl);
    return TRUE;
}

namespace {

// Level 3 replaces the security descriptor (WRITE_DAC), level 7 publishes
// the printer in the directory or takes it out.
BOOL SetSecurityOrPublishing(HANDLE printer, Printer& p, DWORD level, LPBYTE info) {
    if (!info) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (level == 7) {
        DWORD action = reinterpret_cast<const PRINTER_INFO_7W*>(info)->dwAction;
        if (action != DSPRINT_PUBLISH && action != 4 /* DSPRINT_UNPUBLISH */) {
            SetError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        p.attributes = action == DSPRINT_PUBLISH ? p.attributes | PRINTER_ATTRIBUTE_PUBLISHED
                                                 : p.attributes & ~PRINTER_ATTRIBUTE_PUBLISHED;
        return TRUE;
    }
    PSECURITY_DESCRIPTOR sd = reinterpret_cast<const PRINTER_INFO_3*>(info)->pSecurityDescriptor;
    size_t bytes = sd ? GetSecurityDescriptorLength(sd) : 0;
    if (bytes == 0 || !(PrinterHandle(printer)->access & WRITE_DAC)) {
        SetError(bytes == 0 ? ERROR_INVALID_PARAMETER : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    p.security = Bytes(sd, bytes);
    return TRUE;
}

} // namespace

// Level 0 carries a control command; level 2 replaces the description.
BOOL SetPrinterW(HANDLE printer, DWORD level, LPBYTE info, DWORD command) {
    if (Enter("SetPrinterW") || SpoolerDown())
        return FALSE;
    Printer* p = OpenedPrinter(printer, PRINTER_ACCESS_ADMINISTER);
    if (!p)
        return FALSE;
    if (p->connection) {
        bool purge = level == 0 && command == PRINTER_CONTROL_PURGE;
        M().serverChanges.push_back((purge ? "PURGE " : "SET ") + Narrow(p->name));
        return TRUE;
    }
    if (level == 0) {
        if (command < PRINTER_CONTROL_PAUSE || command > PRINTER_CONTROL_SET_STATUS) {
            SetError(ERROR_INVALID_PRINTER_COMMAND);
            return FALSE;
        }
        if (command == PRINTER_CONTROL_PAUSE)
            p->status |= PRINTER_STATUS_PAUSED;
        else if (command == PRINTER_CONTROL_RESUME)
            p->status &= ~static_cast<DWORD>(PRINTER_STATUS_PAUSED);
        if (command == PRINTER_CONTROL_PURGE) {
            p->jobs = 0;
            if (PendingDeletion(*p))
                RemovePrinter(p); // its last jobs are gone, and so is it
        }
        return TRUE;
    }
    if (level == 3 || level == 7)
        return SetSecurityOrPublishing(printer, *p, level, info);
    if (level != 2) {
        SetError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    const PRINTER_INFO_2W* r = reinterpret_cast<const PRINTER_INFO_2W*>(info);
    if (!r || !r->pPrinterName || !r->pPrinterName[0]) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!PortExists(Str(r->pPortName))) {
        SetError(ERROR_UNKNOWN_PORT);
        return FALSE;
    }
    if (!DriverExists(Str(r->pDriverName))) {
        SetError(ERROR_UNKNOWN_PRINTER_DRIVER);
        return FALSE;
    }
    Printer* other = FindPrinter(r->pPrinterName);
    if (other && other != p) {
        SetError(ERROR_PRINTER_ALREADY_EXISTS);
        return FALSE;
    }
    Handle* handle = PrinterHandle(printer);
    DWORD refused = RefusedField(*r);
    if (!refused && r->pSecurityDescriptor && !(handle->access & WRITE_DAC))
        refused = ERROR_ACCESS_DENIED;
    if (refused) {
        SetError(refused);
        return FALSE;
    }
    p->name = r->pPrinterName;
    handle->name = p->name;
    p->port = Str(r->pPortName);
    p->driver = Str(r->pDriverName);
    if (r->pPrintProcessor)
        p->printProcessor = r->pPrintProcessor;
    if (r->pDatatype)
        p->datatype = r->pDatatype;
    TakeFields(*p, *r);
    p->priority = r->Priority;
    return TRUE;
}

HANDLE AddPrinterW(LPWSTR server, DWORD level, LPBYTE info) {
    if (Enter("AddPrinterW") || SpoolerDown())
        return nullptr;
    if (server && server[0]) {
        SetError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (level != 2) {
        SetError(ERROR_INVALID_LEVEL);
        return nullptr;
    }
    const PRINTER_INFO_2W* r = reinterpret_cast<const PRINTER_INFO_2W*>(info);
    // A local printer's name may not hold '\\' or ','.
    if (!r || !r->pPrinterName || !r->pPrinterName[0] ||
        Text(r->pPrinterName).find_first_of(u"\\,") != Text::npos) {
        SetError(ERROR_INVALID_PRINTER_NAME);
        return nullptr;
    }
    if (FindPrinter(r->pPrinterName)) {
        SetError(ERROR_PRINTER_ALREADY_EXISTS);
        return nullptr;
    }
    if (!PortExists(Str(r->pPortName))) {
        SetError(ERROR_UNKNOWN_PORT);
        return nullptr;
    }
    if (!DriverExists(Str(r->pDriverName))) {
        SetError(ERROR_UNKNOWN_PRINTER_DRIVER);
        return nullptr;
    }
    if (!r->pPrintProcessor || Upper(r->pPrintProcessor) != u"WINPRINT") {
        SetError(ERROR_UNKNOWN_PRINTPROCESSOR);
        return nullptr;
    }
    // No data type: the print processor's default, RAW for WinPrint.
    if (r->pDatatype && !DatatypeKnown(r->pDatatype)) {
        SetError(ERROR_INVALID_DATATYPE);
        return nullptr;
    }
    if (DWORD refused = RefusedField(*r)) {
        SetError(refused);
        return nullptr;
    }
    Printer& p = AddPrinter(r->pPrinterName, r->pDriverName, r->pPortName);
    p.datatype = r->pDatatype ? Text(r->pDatatype) : Text(u"RAW");
    p.datatypeGiven = r->pDatatype != nullptr;
    TakeFields(p, *r);
    p.priority = r->Priority ? r->Priority : 1;
    return NewHandle(HandleKind::Printer, p.name, PRINTER_ALL_ACCESS);
}

// A printer with jobs left is only marked for deletion: enumerations and new
// opens no longer see it, and it goes once its jobs are gone (here: purged).
// A paused printer with jobs cannot be deleted.
BOOL DeletePrinter(HANDLE printer) {
    if (Enter("DeletePrinter") || SpoolerDown())
        return FALSE;
    Printer* p = OpenedPrinter(printer, DELETE);
    if (!p)
        return FALSE;
    if (p->connection) { // the server's queue goes; the connection stays
        M().serverChanges.push_back("DELETE " + Narrow(p->name));
        M().serverQueues.erase(Upper(p->name));
        return TRUE;
    }
    if (p->jobs > 0) {
        if (p->status & PRINTER_STATUS_PAUSED) {
            SetError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        p->status |= PRINTER_STATUS_PENDING_DELETION;
        return TRUE;
    }
    RemovePrinter(p);
    return TRUE;
}

BOOL ClosePrinter(HANDLE printer) {
    Enter("ClosePrinter");
    auto it = M().handles.find(reinterpret_cast<uintptr_t>(printer));
    if (it == M().handles.end() || it->second.kind != HandleKind::Printer) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    M().handles.erase(it);
    return TRUE;
}

// Sizes are in characters, the terminator included.
BOOL GetDefaultPrinterW(LPWSTR buffer, LPDWORD size) {
    if (Enter("GetDefaultPrinterW"))
        return FALSE;
    if (!size) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const Text& name = M().defaultPrinter;
    if (name.empty()) {
        SetError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    DWORD units = static_cast<DWORD>(name.size() + 1);
    if (!buffer || *size < units) {
        *size = units;
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, name.c_str(), units * 2);
    *size = units;
    return TRUE;
}

BOOL SetDefaultPrinterW(LPCWSTR name) {
    if (Enter("SetDefaultPrinterW") || SpoolerDown())
        return FALSE;
    if (!name || !name[0]) {
        // Documented: with no name and no default, an arbitrary printer becomes it.
        if (M().defaultPrinter.empty() && !M().printers.empty())
            M().defaultPrinter = M().printers.front().name;
        return TRUE;
    }
    if (!FindPrinter(name)) {
        SetError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    M().defaultPrinter = name; // in the caller's spelling, as Windows keeps it
    return TRUE;
}

// Documented: the connection is made to a queue of a server the spooler can
// reach (ERROR_INVALID_PRINTER_NAME otherwise); it uses the server's driver.
BOOL AddPrinterConnectionW(LPWSTR name) {
    if (Enter("AddPrinterConnectionW") || SpoolerDown())
        return FALSE;
    auto queue = name ? M().serverQueues.find(Upper(name)) : M().serverQueues.end();
    if (queue == M().serverQueues.end() || Text(name).compare(0, 2, u"\\\\") != 0) {
        SetError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    if (!DriverExists(queue->second)) {
        SetError(ERROR_UNKNOWN_PRINTER_DRIVER);
        return FALSE;
    }
    if (!FindPrinter(name))
        AddPrinter(name, queue->second, Text());
    return TRUE;
}

// Only this machine's connection goes; the server's queue stays.
BOOL DeletePrinterConnectionW(LPWSTR name) {
    if (Enter("DeletePrinterConnectionW") || SpoolerDown())
        return FALSE;
    Printer* p = name ? FindPrinter(name) : nullptr;
    if (!p || !p->connection) {
        SetError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    RemovePrinter(p);
    return TRUE;
}

// A self-relative descriptor's length: its header and the parts its offsets
// name (a SID by its count of sub-authorities, an ACL by its size); 0 for
// anything else.
DWORD GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR descriptor) {
    const uint8_t* sd = static_cast<const uint8_t*>(descriptor);
    if (!sd || sd[0] != 1 || !(sd[3] & 0x80))
        return 0;
    DWORD end = 20;
    for (int part = 0; part < 4; ++part) {
        DWORD offset = 0;
        std::memcpy(&offset, sd + 4 + 4 * part, sizeof offset);
        if (offset == 0)
            continue;
        DWORD size = part < 2 ? 8 + 4 * sd[offset + 1] : sd[offset + 2] | (sd[offset + 3] << 8);
        end = offset + size > end ? offset + size : end;
    }
    return end;
}
