// The spooler's printer drivers: enumeration at levels 1 to 6, installation
// with the files copied into the environment's driver store, and deletion
// with or without the files.
#include "machine.h"
#include "sim_win32.h"

#include <cstring>
#include <string>

using namespace sim;

namespace {

Text Str(LPCWSTR text) {
    return text ? Text(text) : Text();
}

// The environment name the spooler records: no name means the caller's.
Text EnvironmentName(LPCWSTR environment) {
    Text dir = EnvironmentDirectory(environment);
    if (dir == u"x64")
        return u"Windows x64";
    if (dir == u"W32X86")
        return u"Windows NT x86";
    return Text();
}

Text FileName(const Text& path) {
    size_t cut = path.find_last_of(u"\\/");
    return cut == Text::npos ? path : path.substr(cut + 1);
}

bool SameFile(const Text& a, const Text& b) {
    return !a.empty() && Upper(a) == Upper(b);
}

// Whether another registered driver names the store file too.
bool SharedWithOtherDriver(const Driver& self, const Text& path) {
    for (const Driver& d : M().drivers)
        if (&d != &self && (SameFile(d.driverPath, path) || SameFile(d.dataFile, path) ||
                            SameFile(d.configFile, path) || SameFile(d.helpFile, path)))
            return true;
    return false;
}

// Documented: "moves them to a temporary directory and marks them for
// deletion on restart". Assumed: that directory is "Old\<n>" in the driver's
// version folder, n the first number not taken, one per call (`aside`); the
// file stays loaded where it went.
void MoveDriverFileAside(const File& file, Text& aside) {
    Text folder = file.path.substr(0, file.path.find_last_of(u'\\'));
    if (aside.empty()) {
        MakeDirectory(folder + u"\\Old");
        for (int n = 1; aside.empty() || FindFile(aside); ++n)
            aside = folder + u"\\Old\\" + Widen(std::to_string(n));
        MakeDirectory(aside);
    }
    File moved = file;
    moved.path = aside + u"\\" + FileName(file.path);
    M().files.erase(Upper(file.path));
    M().files[Upper(moved.path)] = moved;
    QueueForRestart(u"\\??\\" + moved.path, Text());
}

bool UsedByPrinter(const Driver& d) {
    if (d.environment != u"Windows x64")
        return false; // the printers of this machine are all x64 queues
    for (const Printer& p : M().printers)
        if (Upper(p.driver) == Upper(d.name))
            return true;
    return false;
}

} // namespace

namespace sim {

// Record sizes of DRIVER_INFO_1 to DRIVER_INFO_6 on x64.
size_t DriverRecordSize(DWORD level) {
    switch (level) {
    case 1:
        return sizeof(DRIVER_INFO_1W);
    case 2:
        return sizeof(DRIVER_INFO_2W);
    case 3:
        return sizeof(DRIVER_INFO_3W);
    case 4:
        return sizeof(DRIVER_INFO_4W);
    case 5:
        return sizeof(DRIVER_INFO_5W);
    case 6:
        return sizeof(DRIVER_INFO_6W);
    default:
        return 0;
    }
}

size_t DriverStringBytes(const Driver& d, DWORD level) {
    size_t n = StringBytes(d.name);
    if (level >= 2)
        n += StringBytes(d.environment) + StringBytes(d.driverPath) + StringBytes(d.dataFile) +
             StringBytes(d.configFile);
    if (level == 3 || level == 4 || level == 6)
        n += StringBytes(d.helpFile);
    if (level == 6)
        n += StringBytes(d.manufacturer) + StringBytes(d.oemUrl) + StringBytes(d.provider);
    return n;
}

// Levels 2 to 6 share their first six fields; 3, 4 and 6 add the help file.
void PackDriver(const Driver& d, DWORD level, LPBYTE record, LPBYTE block, size_t& offset) {
    if (level == 1) {
        reinterpret_cast<DRIVER_INFO_1W*>(record)->pName = PackString(block, offset, d.name);
        return;
    }
    DRIVER_INFO_2W* head = reinterpret_cast<DRIVER_INFO_2W*>(record);
    head->cVersion = d.version;
    head->pName = PackString(block, offset, d.name);
    head->pEnvironment = PackString(block, offset, d.environment);
    head->pDriverPath = PackString(block, offset, d.driverPath);
    head->pDataFile = PackString(block, offset, d.dataFile);
    head->pConfigFile = PackString(block, offset, d.configFile);
    if (level == 3 || level == 4 || level == 6)
        reinterpret_cast<DRIVER_INFO_3W*>(record)->pHelpFile =
            PackString(block, offset, d.helpFile);
    if (level == 6) {
        DRIVER_INFO_6W* r = reinterpret_cast<DRIVER_INFO_6W*>(record);
        r->pszMfgName = PackString(block, offset, d.manufacturer);
        r->pszOEMUrl = PackString(block, offset, d.oemUrl);
        r->pszProvider = PackString(block, offset, d.provider);
    }
}

Driver* FindDriver(const Text& name, const Text& environment) {
    for (Driver& d : M().drivers)
        if (Upper(d.name) == Upper(name) && Upper(d.environment) == Upper(environment))
            return &d;
    return nullptr;
}

Text DriverStore(const Text& environment, DWORD version) {
    Text dir = EnvironmentDirectory(environment.c_str());
    return M().spoolDriverRoot + u"\\" + dir + u"\\" + Widen(std::to_string(version));
}

} // namespace sim

// Documented: "all" lists every environment; records first, strings after.
BOOL EnumPrinterDriversW(LPWSTR server, LPWSTR environment, DWORD level, LPBYTE buffer, DWORD size,
                         LPDWORD needed, LPDWORD returned) {
    if (Enter("EnumPrinterDriversW") || SpoolerDown())
        return FALSE;
    if (!EnumArgumentsValid(server, needed, returned))
        return FALSE;
    bool all = environment && Upper(environment) == u"ALL";
    Text env = all ? Text() : EnvironmentName(environment);
    if (!all && env.empty()) {
        SetError(ERROR_INVALID_ENVIRONMENT);
        return FALSE;
    }
    size_t record = DriverRecordSize(level);
    if (record == 0) {
        SetError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    std::vector<const Driver*> listed;
    for (const Driver& d : M().drivers)
        if (all || Upper(d.environment) == Upper(env))
            listed.push_back(&d);
    size_t bytes = 0;
    for (const Driver* d : listed)
        bytes += record + DriverStringBytes(*d, level);
    *needed = static_cast<DWORD>(bytes);
    if (bytes > size || (bytes && !buffer)) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (bytes)
        std::memset(buffer, 0, listed.size() * record);
    size_t offset = listed.size() * record;
    for (size_t i = 0; i < listed.size(); ++i)
        PackDriver(*listed[i], level, buffer + i * record, buffer, offset);
    *returned = static_cast<DWORD>(listed.size());
    return TRUE;
}

// Levels 2, 3, 4 and 6. With APD_COPY_ALL_FILES the named files are copied
// from where they are into the environment's driver store, and the driver is
// registered with the store paths; a named file that is missing fails the
// call. An existing driver of the same name is replaced.
BOOL AddPrinterDriverExW(LPWSTR server, DWORD level, LPBYTE info, DWORD flags) {
    if (const DRIVER_INFO_2W* given = reinterpret_cast<const DRIVER_INFO_2W*>(info)) {
        for (LPCWSTR path : {given->pDriverPath, given->pDataFile, given->pConfigFile})
            NotePath("AddPrinterDriverExW", path, PathUse::Read);
        if (level >= 3) {
            LPCWSTR help = reinterpret_cast<const DRIVER_INFO_3W*>(info)->pHelpFile;
            if (help && help[0]) // no help file is given as an empty text
                NotePath("AddPrinterDriverExW", help, PathUse::Read);
        }
    }
    if (Enter("AddPrinterDriverExW") || SpoolerDown())
        return FALSE;
    if (server && server[0]) {
        SetError(ERROR_INVALID_NAME);
        return FALSE;
    }
    if (level != 2 && level != 3 && level != 4 && level != 6) {
        SetError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    const DRIVER_INFO_2W* head = reinterpret_cast<const DRIVER_INFO_2W*>(info);
    if (!head || Str(head->pName).empty() || Str(head->pDriverPath).empty() ||
        Str(head->pDataFile).empty() || Str(head->pConfigFile).empty()) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Text env = EnvironmentName(head->pEnvironment);
    if (env.empty()) {
        SetError(ERROR_INVALID_ENVIRONMENT);
        return FALSE;
    }
    Text help = level == 2 ? Text() : Str(reinterpret_cast<const DRIVER_INFO_3W*>(info)->pHelpFile);
    std::vector<Text> sources = {head->pDriverPath, head->pDataFile, head->pConfigFile};
    if (!help.empty())
        sources.push_back(help);
    Text store = DriverStore(env, head->cVersion);
    std::vector<File> copies;
    for (const Text& source : sources) {
        File* f = FindFile(source);
        if (!f || f->directory) {
            SetError(ERROR_FILE_NOT_FOUND);
            return FALSE;
        }
        File copy = *f;
        copy.path = store + u"\\" + FileName(source);
        copy.loadedBySpooler = copy.loadedByProcess = copy.heldOpen = false;
        copy.lockedThroughRestart = false;
        copies.push_back(copy);
    }
    if (!FindFile(store)) {
        SetError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    for (File& copy : copies) {
        File* old = FindFile(copy.path);
        if (old) // a loaded store file keeps being held while it is replaced
            copy.loadedBySpooler = old->loadedBySpooler;
        M().files[Upper(copy.path)] = copy;
    }
    Driver d;
    d.version = head->cVersion;
    d.name = head->pName;
    d.environment = env;
    d.driverPath = store + u"\\" + FileName(head->pDriverPath);
    d.dataFile = store + u"\\" + FileName(head->pDataFile);
    d.configFile = store + u"\\" + FileName(head->pConfigFile);
    if (!help.empty())
        d.helpFile = store + u"\\" + FileName(help);
    if (level == 6) {
        const DRIVER_INFO_6W* r = reinterpret_cast<const DRIVER_INFO_6W*>(info);
        d.manufacturer = Str(r->pszMfgName);
        d.oemUrl = Str(r->pszOEMUrl);
        d.provider = Str(r->pszProvider);
    }
    (void)flags; // every file is copied whatever the copy flags say
    if (Driver* existing = FindDriver(d.name, env))
        *existing = d;
    else
        M().drivers.push_back(d);
    return TRUE;
}

// Documented: a driver that a printer uses cannot be deleted; with
// DPD_DELETE_ALL_FILES it goes only if none of its files belongs to another
// driver too. Store files in use are moved to a temporary directory and
// marked for deletion at the next restart (MoveDriverFileAside).
BOOL DeletePrinterDriverExW(LPWSTR server, LPWSTR environment, LPWSTR name, DWORD deleteFlags,
                            DWORD versionFlag) {
    if (Enter("DeletePrinterDriverExW") || SpoolerDown())
        return FALSE;
    if (server && server[0]) {
        SetError(ERROR_INVALID_NAME);
        return FALSE;
    }
    if (Str(name).empty()) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Text env = EnvironmentName(environment);
    if (env.empty()) {
        SetError(ERROR_INVALID_ENVIRONMENT);
        return FALSE;
    }
    if (M().wineDriverDeletion && deleteFlags != 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Driver* d = FindDriver(name, env);
    if (!d || ((deleteFlags & DPD_DELETE_SPECIFIC_VERSION) && d->version != versionFlag)) {
        SetError(ERROR_UNKNOWN_PRINTER_DRIVER);
        return FALSE;
    }
    if (!M().wineDriverDeletion && (M().driverBusyUntilRestart || UsedByPrinter(*d))) {
        SetError(ERROR_PRINTER_DRIVER_IN_USE);
        return FALSE;
    }
    std::vector<Text> files = {d->driverPath, d->dataFile, d->configFile, d->helpFile};
    if (deleteFlags & DPD_DELETE_ALL_FILES)
        for (const Text& f : files)
            if (SharedWithOtherDriver(*d, f)) {
                SetError(ERROR_PRINTER_DRIVER_IN_USE);
                return FALSE;
            }
    Text aside;
    if (deleteFlags & (DPD_DELETE_ALL_FILES | DPD_DELETE_UNUSED_FILES))
        for (const Text& path : files) {
            File* f = path.empty() ? nullptr : FindFile(path);
            if (!f || SharedWithOtherDriver(*d, path))
                continue;
            if (f->loadedBySpooler || f->loadedByProcess)
                MoveDriverFileAside(*f, aside);
            else
                M().files.erase(Upper(path));
        }
    std::vector<Driver>& drivers = M().drivers;
    drivers.erase(drivers.begin() + (d - drivers.data()));
    return TRUE;
}
