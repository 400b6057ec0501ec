// The simulated machine: a small Windows of our own, only as large as the
// installer's calls need. Tests build a state here, run the installer's real
// code against it, and read back the state. Behaviour follows the documented
// Windows behaviour of each call, including its failure codes.
#pragma once

#include "sim_security.h"
#include "sim_types.h"

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace sim {

using Text = std::u16string;

Text Widen(const std::string& ascii);
std::string Narrow(const Text& text); // code units above 0x7F become '?'
Text Upper(const Text& text);         // ASCII case folding, as path and name comparisons need
// The simple upper case Windows compares names with (CompareStringOrdinal
// ignoring case, the spooler's printer names): ASCII, Latin-1 and the basic
// Cyrillic letters; other code units stay as they are.
Text UpperName(const Text& text);

// --- scripted faults ---------------------------------------------------------
// "Fail the n-th call of X with error E (for `times` calls in a row; -1 = every
// call from the n-th on)". Every simulated call consults this table first.
struct Fault {
    std::string call;
    int nth = 1;
    DWORD error = 0;
    int times = 1;
};

// --- heaps ----------------------------------------------------------------------
struct Heap {
    std::map<const void*, size_t> live; // block -> size
    int allocations = 0;
    int frees = 0;
    int badFrees = 0; // double frees and frees of blocks this heap never gave out
};

// --- service control manager --------------------------------------------------
struct Service {
    Text name; // of a service that depends on the spooler ("Fax")
    Text displayName;
    bool exists = true;
    DWORD state = SERVICE_RUNNING;
    int pollsToStop = 0;  // queries that still report STOP_PENDING after a stop
    int pollsToStart = 0; // queries that still report START_PENDING after a start
    int pendingPolls = 0;
    bool ignoresStop = false;  // accepts the control but never stops
    bool refusesStart = false; // StartServiceW fails (ERROR_SERVICE_DISABLED)
    int stopsSeen = 0;         // how often it went from running to stopped
    int startsSeen = 0;        // how often it went from stopped to running
    // Its process: it reports STOPPED before the process has ended, and what
    // the process holds loaded stays held until then (exitDelayMs later).
    DWORD processId = 20000; // 0: no process
    DWORD exitDelayMs = 0;
    DWORD exitingId = 0; // the stopped service's process, still ending
    DWORD exitsAt = 0;
    // The id of its ended process, which Windows has given to another program's
    // process (it may as soon as no handle keeps the old one; here it does).
    DWORD reusedId = 0;
};
// The spooler's process ends now if it is due (the clock has passed its end).
void SpoolerProcessCatchUp();

// --- accounts and sessions -----------------------------------------------------
// An access token as the calls see it. Groups follow from it: Everyone,
// Authenticated Users and Users always; Administrators for an elevated
// administrator and for LocalSystem. What it creates is owned by
// Administrators (an elevated administrator; SYSTEM's objects are SYSTEM's)
// or else by the account.
struct Token {
    Text sid; // the account; empty: nobody
    DWORD sessionId = 0;
    bool elevated = false; // TokenIsElevated
    bool admin = false;    // a member of Administrators, not deny-only
    // A UAC split token: its linked half is the same user with `elevated`
    // and `admin` the other way round.
    bool linked = false;
};
extern const Text SystemSid; // LocalSystem, S-1-5-18
extern const Text UserSid;   // the administrator the default machine is used by
Token SystemToken();
// Whether the token holds Administrators as an enabled group (and with it the
// administrators' privileges): LocalSystem, and an elevated administrator.
bool InAdministrators(const Token& token);
// The administrator's token as UAC splits it: the elevated half the
// installer gets, the limited one the rest of the session runs with.
Token ElevatedToken(const Text& sid = UserSid, DWORD session = 1);
Token LimitedToken(const Text& sid = UserSid, DWORD session = 1);
struct Session {
    DWORD id = 0;
    DWORD state = WTSActive;
    Token user; // as WTSQueryUserToken hands it out; no sid: nobody logged on
};
// The name under which a named object lives: "Global\x" as given; a plain
// or "Local\x" name is private to the session (session 1's kept as the
// plain name), except in session 0, whose private namespace is the global one.
Text ObjectKey(const Text& name, DWORD session);

// --- windows, processes ---------------------------------------------------------
struct PostedMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
const DWORD OtherWindowOwner = 8; // the process of a window no scripted process owns
struct Window {
    HWND handle = nullptr;
    Text className;
    Text title;
    DWORD processId = OtherWindowOwner;
    DWORD session = 1; // its desktop's
    bool alive = true;
    std::vector<PostedMessage> posted;
    // Called for every posted message; lets a test script how the owner reacts
    // (a help viewer that closes on SC_CLOSE, a tray program that quits ...).
    std::function<void(Window&, const PostedMessage&)> onPost;
};

// A named mutex, shared by the installer's thread and other programs. It lives
// while a handle to it is open anywhere (see MutexExists).
const DWORD InstallerProcess = 1; // the owner id of the installer's own thread
struct Mutex {
    Text name;
    DWORD owner = 0;        // 0: free; InstallerProcess, or the id of the owning process
    int recursion = 0;      // how often the owner holds it
    bool abandoned = false; // its owner ended still holding it: the next wait gets WAIT_ABANDONED
    Text security;          // its security descriptor, as SDDL
};
// A private object namespace: found by its boundary (name and SIDs) and its
// alias; it lives while a handle to it is open. Each incarnation has objects
// of its own, so one made again after it went holds other objects.
struct Namespace {
    Text security; // SDDL
    int handles = 0;
    int incarnation = 0;
};

// What a simulated program does once started: it may hold a named mutex and
// own a top-level window, and end some time after a quit message reaches it.
struct ProgramScript {
    Text mutexName;   // created and owned while it runs (empty: none)
    Text windowClass; // class of its top-level window (empty: no window)
    Text windowTitle;
    bool showsWindow = true;   // false: it never creates its window
    UINT quitMessage = 0;      // posted to its window, this ends it ...
    bool obeysQuit = true;     // ... unless it ignores the message,
    DWORD quitDelayMs = 0;     // ... this long after the message arrived
    bool releasesMutex = true; // false: it ends still owning the mutex
    // Its own event, this prefix and its process id in the global namespace:
    // signalled, it ends as for the quit message (empty: none).
    Text quitEvent;
    bool singleInstance = false; // ends at once when its mutex exists already
    Text mutexSecurity;          // SDDL it creates the mutex with; empty: its token's default
};
struct Process {
    DWORD id = 0;
    Text image;       // the executable, loaded (undeletable) while the process runs
    Text application; // CreateProcessW's application name as given; empty: none
    Text commandLine; // as given
    BOOL inheritHandles = FALSE;
    DWORD creationFlags = 0;
    bool ownEnvironment = false; // an environment block was passed
    Text currentDirectory;       // as given; empty: the caller's
    STARTUPINFOW startup = {};   // as given; its pointers are not followed
    bool running = true;
    bool ending = false; // it ends when the clock reaches endsAt
    DWORD endsAt = 0;
    ProgramScript script;
    HWND window = nullptr;
    Token token; // it runs as, and in the session of
};

// --- the log dialog ---------------------------------------------------------------
enum class DialogClose { Ok, Cancel, Enter };
struct DialogRecord {
    HINSTANCE instance = nullptr;
    int resource = 0;
    HWND owner = nullptr;
    Text itemText; // control 1001
    Text title;
    INT_PTR result = 0;
    bool initReturnedZero = false;
    bool hangs = false; // shown where nobody can close it
};

// --- files ----------------------------------------------------------------------
struct File {
    Text path; // as first created
    bool directory = false;
    // Its 8.3 alias ("PROGRA~1"); empty when its name is one already. A path
    // may name it by either.
    Text shortName;
    // The content, followed for a file with a product build by its version
    // resource: the resource is part of the file, so a byte-for-byte copy
    // carries it along, as on Windows.
    std::vector<uint8_t> bytes;
    bool loadedBySpooler = false;      // the spooler process has the module loaded
    bool lockedThroughRestart = false; // stays loaded even across a spooler restart
    bool loadedByProcess = false;      // another process has it loaded (DeleteFileW: 5)
    // ReadFile hands out at most this many bytes a call (0: as many as asked
    // for), as a network share or a file system filter may.
    DWORD readLimit = 0;
    bool heldOpen = false; // another process holds it open without sharing
    // With heldOpen: the other process lets go once GetTickCount reaches this
    // tick (0: only when a test clears heldOpen).
    DWORD heldUntil = 0;
    // Its security descriptor as SDDL; empty: owned by Administrators, full
    // access for SYSTEM and Administrators, Users may read and run it.
    Text security;
    DWORD links = 1; // names it has (hard links)
    // A symbolic link (or a directory junction) to this path: opening it
    // opens the target unless the caller asks for the link itself.
    Text linkTarget;
};

// --- registry ---------------------------------------------------------------------
struct RegValue {
    Text name;
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;
};
struct RegKey {
    Text path;                       // "HKLM\..." or "HKCU\..." as created
    std::map<Text, RegValue> values; // upper-cased name -> value
};

// --- the spooler's objects -------------------------------------------------------
struct Monitor {
    Text name;
    Text environment;
    Text dll; // bare file name, looked up in the system directory
};
struct Driver {
    DWORD version = 3;
    Text name;
    Text environment;
    Text driverPath, dataFile, configFile, helpFile; // in the driver store
    Text manufacturer, oemUrl, provider;
};
struct PrinterData {
    DWORD type = REG_SZ;
    std::vector<uint8_t> bytes;
};
struct Printer {
    Text name; // "\\server\name" for a connection
    Text server, share, port, driver, comment, location, sepFile;
    Text printProcessor = u"WinPrint";
    Text datatype = u"RAW";
    bool datatypeGiven = true; // AddPrinterW was given one (Wine's spooler needs it)
    Text parameters;
    DWORD attributes = PRINTER_ATTRIBUTE_LOCAL;
    DWORD priority = 1, defaultPriority = 0, status = 0, jobs = 0;
    DWORD startTime = 0, untilTime = 0; // minutes after midnight GMT
    std::vector<uint8_t> devMode;       // dmSize + dmDriverExtra bytes; empty: none
    std::vector<uint8_t> security;      // self-relative; empty: the spooler's default
    bool connection = false;
    Text user; // a connection's user; empty: the caller's
    // printer data: upper-cased key ("" for the plain calls) -> upper-cased value name -> data
    std::map<Text, std::map<Text, PrinterData>> data;
};

// --- paths the installer handed to the system --------------------------------
// Every path a file, version or spooler call received, as given and whatever
// the call then did, with what the call does to the file; the sweep holds
// them against the rules of a run that must not harm the machine.
enum class PathUse { Read, Write, Delete, Schedule };
struct PathCall {
    std::string call;
    Text path;
    PathUse use = PathUse::Read;
    bool directory = false; // it named an existing directory when the call came
};

// One open handle. `kind` tells which fields mean something.
enum class HandleKind {
    ScManager,
    Service,
    File,
    Mutex,
    Process,
    Thread,
    Printer,
    Key,
    Token,
    Snapshot,
    Event,
    Namespace
};
struct Handle {
    HandleKind kind;
    DWORD access = 0;
    DWORD share = 0;
    Text name;                  // file path, printer name, key path, mutex name
    uint64_t pos = 0;           // file position
    int owner = 0;              // for process, thread and event handles: the process id
    Token token;                // a token handle's
    DWORD tokenLevel = 0;       // 0: a primary token; else its impersonation level
    std::vector<DWORD> listed;  // a snapshot's processes
    bool deleteOnClose = false; // a file marked for deletion through this handle
};

struct Machine {
    // threads and time
    DWORD lastError = 0;
    DWORD tick = 1000000; // GetTickCount; Sleep advances it at once
    SYSTEMTIME localTime = {2026, 12, 2, 8, 4, 17, 18, 250}; // the wall clock, as a test sets it
    uint64_t sleptMs = 0;
    std::vector<Fault> faults;
    // Runs as each simulated call starts, with the call's name and number;
    // lets a test change the machine between two calls (a value that grows
    // between the size query and the read, say).
    std::function<void(const std::string&, int)> onCall;
    std::map<std::string, int> callCounts;
    bool recordCalls = false;
    std::vector<std::string> calls;

    Heap generalHeap, globalHeap, localHeap;

    // the process, the account it runs as, the sessions of the machine and
    // the shell (explorer) of session 1, apart from the programs tests start
    Token token = ElevatedToken();
    std::vector<Session> sessions;
    Process shell;
    // Private namespaces exist (Windows); false: as on Wine 8, where
    // CreateBoundaryDescriptorW gives NULL and the other namespace calls are
    // not exported.
    bool privateNamespaces = true;
    Text commandLine = u"\"C:\\Program Files\\Kestrovane\\setup\\ksvinstall.exe\"";
    Text modulePath = u"C:\\Program Files\\Kestrovane\\setup\\ksvinstall.exe";
    Text systemDir = u"C:\\Windows\\system32";
    DWORD dllDirectories = 0; // SetDefaultDllDirectories' flags; 0: the program's folder first
    Text spoolDriverRoot = u"C:\\Windows\\system32\\spool\\drivers";
    // When set, GetPrinterDriverDirectoryW reports this path for every
    // environment (one with a trailing backslash, say).
    Text driverDirectory;
    // A spooler that answers the size query (no buffer) with success.
    bool driverDirectorySizeQuerySucceeds = false;
    bool shiftDown = false;
    // The language of the system's message texts; with another one than
    // English (1033) there are no English texts.
    DWORD messageLanguage = 1033;
    DWORD osMajor = 10, osMinor = 0, osPlatform = VER_PLATFORM_WIN32_NT;

    // services
    bool managerAccessDenied = false;
    bool serviceAccessDenied = false;
    DWORD controlError = 0; // ControlService fails with this code (0: as the service state says)
    Service spooler;
    // Services that depend on the spooler (the Fax service on many editions),
    // in the order EnumDependentServicesW lists them: the reverse of their
    // start order. They stop and start at once.
    std::vector<Service> dependents;

    // kernel objects: every handle the simulated calls hand out
    std::map<uintptr_t, struct Handle> handles;
    uintptr_t nextHandle = 0x1000;

    // the spooler's registrations (only reachable while the service runs)
    std::vector<Monitor> monitors;
    std::vector<Driver> drivers;
    // DeleteMonitorW keeps failing with ERROR_PRINT_MONITOR_IN_USE, and
    // DeletePrinterDriverExW with ERROR_PRINTER_DRIVER_IN_USE, until the
    // spooler stops (a port or a driver still held by a job, say).
    bool monitorBusyUntilRestart = false;
    bool driverBusyUntilRestart = false;
    // false: the spooler lets go of a monitor DLL once it has read it, so the
    // file can be deleted while the monitor stays registered (Wine always;
    // Windows while the monitor is not loaded).
    bool spoolerHoldsMonitors = true;
    // Wine's spooler: DeletePrinterDriverExW refuses every non-zero delete
    // flag with ERROR_INVALID_PARAMETER; flag 0 drops the registration only,
    // even while a printer uses the driver.
    bool wineDriverDeletion = false;
    std::vector<Printer> printers;
    // Print servers' queues ("\\server\queue" -> driver) a connection can be
    // made to, and what was done to them through a connection's handle
    // ("PURGE \\srv\q", "DELETE \\srv\q", "SET \\srv\q"): a handle to a
    // connection acts on the server's queue.
    std::map<Text, Text> serverQueues;
    std::vector<std::string> serverChanges;
    // A spooler that keeps strings as UTF-16 and sizes them so for the ANSI
    // printer data calls too: a string value needs (and reports) twice its
    // ANSI length, as older Windows versions do.
    bool printerDataUnicodeSize = false;
    Text defaultPrinter; // the current user's; empty: none
    // AddPrinterW and SetPrinterW refuse the shared attribute with this error
    // (NERR_ServerNotStarted, 2114, while the Server service is stopped).
    DWORD shareError = 0;
    // Runs after each EnumPrintersW call with its number; lets a test change
    // the printers between the two calls of the buffer pattern.
    std::function<void(int)> afterEnumPrinters;

    // user interface
    std::vector<Window> windows;
    // other programs: named mutexes (by exact name), processes, and what runs
    // when an executable is started (upper-cased path -> its behaviour)
    std::map<Text, Mutex> mutexes;
    // Boundary descriptors (handle value -> name and SIDs) and private
    // namespaces ("name|sid|...|alias" -> namespace).
    std::map<uintptr_t, std::vector<Text>> boundaries;
    std::map<Text, Namespace> namespaces;
    int incarnations = 0;
    // Which installer's thread runs now (mutex ownership), and what a wait on
    // a mutex another installer holds does: lets that installer run until it
    // lets go (without it, the wait acts as for a program that never does).
    DWORD currentInstaller = InstallerProcess;
    std::function<void()> onInstallerBusy;
    std::vector<Process> processes;
    std::map<Text, ProgramScript> programs;
    DWORD nextProcessId = 100;
    DialogClose dialogClose = DialogClose::Ok;
    bool dialogFails = false;
    // A service's window station (session 0): nobody sees a dialog there, so
    // nobody ever closes one.
    bool windowStationVisible = true;
    std::vector<DialogRecord> dialogs;
    // Sees the dialog's initialisation parameter before the dialog procedure
    // does: lets a test look at the state the program shows.
    std::function<void(LPARAM)> onDialog;

    // file system, registry
    int64_t diskSpace = -1;     // bytes WriteFile may still write; -1: unlimited
    DWORD createFileMs = 0;     // virtual time each CreateFileW takes (a slow share, a scanner)
    std::map<Text, File> files; // upper-cased path -> file
    // The drive root's security: SYSTEM and Administrators in full, Users read,
    // Authenticated Users may make folders (and own what they make there).
    Text rootSecurity = u"O:SYD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
                        u"(A;;0x4;;;AU)(A;OICIIO;0x1301bf;;;AU)";
    std::map<Text, RegKey> keys; // upper-cased path -> key
    // Keys changed since their hive was last flushed (RegFlushKey): what a
    // power cut could still take back. Upper-cased paths.
    std::set<Text> unflushed;
    std::vector<PathCall> pathCalls;
};

Machine& M();
// A fresh machine: a running spooler, the system and spool directories, no
// printers, no windows; empty heaps and a clean fault table.
void Reset();

// Scripting helpers.
void FailCall(const std::string& call, DWORD error, int nth = 1, int times = 1);
int CallCount(const std::string& call);
HWND AddWindow(const Text& className, const Text& title);
HANDLE NewHandle(HandleKind kind, const Text& name, DWORD access = 0);
Handle* FindHandle(HANDLE handle, HandleKind kind);
size_t OpenHandles(HandleKind kind);
Window* FindWindowByHandle(HWND handle);

// Time passes: the clock moves on by `ms`, and what other programs do in the
// meantime (a process ending) happens at its moment. Sleep and waits use it.
void AdvanceClock(DWORD ms);
// Starts `image` as CreateProcessW does once it has found the file; it then
// behaves as M().programs says for that path (or just runs).
// `token`: as whom (and in which session) it runs; null: the user of the
// caller's session, as that user would start it.
Process& StartProcess(const Text& image, const Text& commandLine, const Token* token = nullptr);
Process* FindProcess(DWORD id);
// The process ends now (killed, or its scripted end): its window goes, its
// mutex is released (or abandoned) and its executable is no longer loaded.
void EndProcess(Process& process);
// A named mutex exists while the installer or a running process has it open.
bool MutexExists(const Text& name);
// The system's logon: every command line in the machine-wide Run key is
// started as CreateProcessW would start it. Returns the images started.
std::vector<Text> Logon();

// Used by the simulated calls: a scripted program asked to quit, by its quit
// message or (`message` null) by its event, ends as its script says.
void QuitRequested(DWORD processId, const PostedMessage* message);
// What CreateProcessW does once the caller may start a program, as `token`.
BOOL StartProgram(LPCWSTR application, LPWSTR commandLine, BOOL inherit, DWORD flags,
                  LPVOID environment, LPCWSTR directory, LPSTARTUPINFOW startup,
                  LPPROCESS_INFORMATION info, const Token& token);

// Used by the simulated calls themselves: records the call and reports whether a
// scripted fault fires for it (its error then stands as the last error).
bool Enter(const char* call);
void SetError(DWORD code);
// Records a path a call received (see PathCall); a null or empty path too.
void NotePath(const char* call, LPCWSTR path, PathUse use);

// Spooler calls fail with RPC_S_SERVER_UNAVAILABLE while the service is not
// running; each spooler call starts with this check.
bool SpoolerDown();
// The checks the local-server enumerations share: both outputs given (else
// RPC_X_NULL_REF_POINTER) and set to 0, no remote server (ERROR_INVALID_NAME).
bool EnumArgumentsValid(LPWSTR server, LPDWORD needed, LPDWORD returned);
// "Windows x64" -> "x64", "Windows NT x86" -> "W32X86"; empty for any other.
Text EnvironmentDirectory(LPCWSTR environment);

// Files. Paths compare without regard to case; a file's directory must exist.
// With a product build (0 to 65535) the file gets a version resource saying
// 1.0.0.<build> behind its content.
File& PutFile(const Text& path, const std::string& content = "", int productBuild = -1);
void MakeDirectory(const Text& path);
File* FindFile(const Text& path);
bool FileExists(const Text& path);
// The content, without the version resource.
std::string FileContent(const Text& path);
// The fourth part of the product version in the file's version resource; -1
// when it has none.
int ProductBuild(const File& file);
// The version resource as it lies at the end of a file, and where in a file's
// bytes it begins (the size of the bytes when there is none).
std::vector<uint8_t> VersionResource(int productBuild);
size_t VersionResourceAt(const std::vector<uint8_t>& bytes);

// Registry. Paths start with "HKLM\" or "HKCU\".
RegKey& CreateKey(const Text& path);
RegKey* FindKey(const Text& path);
void SetValue(const Text& keyPath, const Text& name, DWORD type, const std::vector<uint8_t>& data);
void SetStringValue(const Text& keyPath, const Text& name, const Text& text);
RegValue* FindValue(const Text& keyPath, const Text& name);
// A REG_MULTI_SZ's strings (the final empty terminator string not included).
std::vector<Text> MultiStrings(const RegValue& value);
std::vector<uint8_t> MultiStringBytes(const std::vector<Text>& strings);
extern const Text PendingRenamesKey; // HKLM\SYSTEM\CurrentControlSet\Control\Session Manager

// Appends one operation to PendingFileRenameOperations, as MoveFileExW with
// MOVEFILE_DELAY_UNTIL_REBOOT records it: NT names, "" for a deletion.
void QueueForRestart(const Text& source, const Text& target);

// A restart of the machine: the pending file rename operations are carried
// out and removed, nothing is loaded any more, then the spooler runs and has
// loaded the registered monitors' DLLs.
void Reboot();

// Spooler records in the caller's block: records first, their strings after
// them. `StringBytes` is what one string takes (terminator included, 0 for
// none); `PackString` copies it at `offset` and advances it.
size_t StringBytes(const Text& text);
LPWSTR PackString(LPBYTE block, size_t& offset, const Text& text);
// A driver as a DRIVER_INFO_1 to _6 record (x64 size, 0 for other levels),
// the bytes its strings take, and the record filled with its strings packed.
size_t DriverRecordSize(DWORD level);
size_t DriverStringBytes(const Driver& driver, DWORD level);
void PackDriver(const Driver& driver, DWORD level, LPBYTE record, LPBYTE block, size_t& offset);
// Ports that exist: the local standard ports and one per registered monitor
// whose name is a port name (ends in ':'). A list "a:,b:" needs every part.
bool PortExists(const Text& portList);
Printer* FindPrinter(const Text& name);
Printer& AddPrinter(const Text& name, const Text& driver, const Text& port);
// A connection to a server's queue (which is made to exist too).
Printer& AddConnection(const Text& name, const Text& driver);
// A logged-on user's connection, with its key in the user's hive.
Printer& AddUserConnection(const Text& sid, const Text& name, const Text& driver);
// Where a user's default printer lies in the user's hive ("Device").
Text UserWindowsKey(const Text& sid);
// Printer data as the ANSI calls see it. Key "" (or "PrinterDriverData") is
// the plain calls' key; keys and value names compare without regard to case.
void SetPrinterData(Printer& printer, const Text& key, const Text& name, DWORD type,
                    const std::vector<uint8_t>& bytes);
void SetPrinterString(Printer& printer, const Text& key, const Text& name, const std::string& text);
PrinterData* FindPrinterData(Printer& printer, const Text& key, const Text& name);
// A REG_SZ value's text up to its terminator; empty when the value is missing.
std::string PrinterString(Printer& printer, const Text& key, const Text& name);
// A self-relative security descriptor: owner S-1-5-32-<ownerRid>, an empty
// DACL. The spooler gives a new printer the one with 544 (Administrators).
std::vector<uint8_t> SecurityDescriptor(DWORD ownerRid);
// Monitors by name, drivers by name and environment (both without regard to case).
Monitor* FindMonitor(const Text& name);
Driver* FindDriver(const Text& name, const Text& environment = u"Windows x64");
// Where AddPrinterDriverExW puts a driver's files: "<spool>\drivers\x64\3".
Text DriverStore(const Text& environment = u"Windows x64", DWORD version = 3);

// Whether FormatMessageW has a system text for the code.
bool HasSystemText(DWORD code);
// Security descriptors: SDDL as the system writes it (owner, DACL with its
// "P" flag and ACEs of type A or D; rights as FA/GA/GR/GW/GX or 0x...; SIDs
// as S-1-... or the two-letter aliases SY BA BU AU WD CO OW), and the
// self-relative binary the API hands out. Empty SDDL: a file's default.
struct Ace {
    BYTE type = 0;
    BYTE flags = 0;
    DWORD mask = 0;
    Text sid;
};
struct Security {
    Text owner;
    bool dacl = true; // false: a NULL DACL, open to everyone
    bool isProtected = false;
    std::vector<Ace> aces;
};
bool ParseSddl(const Text& sddl, Security& out);
Text WriteSddl(const Security& security);
std::vector<uint8_t> SecurityBytes(const Security& security, bool owner, bool dacl);
// A caller's binary descriptor (absolute or self-relative); false if malformed.
bool ReadSecurity(const void* descriptor, Security& out);
std::vector<uint8_t> SidBytes(const Text& sid);
Text SidText(const void* sid);
// Whether `token` is granted all of `access` on an object with `sddl`, with
// the generic rights mapped as `generic` says (read, write, execute, all).
bool AccessGranted(const Text& sddl, const Token& token, DWORD access, const DWORD generic[4]);
// A new object's security: the caller's descriptor, or the token's default,
// with the token's default owner where the descriptor names none.
Text NewObjectSecurity(const Token& token, const SECURITY_ATTRIBUTES* attributes,
                       const Text& fallback);
Text DefaultOwner(const Token& token);
// What GetSecurityInfo and GetNamedSecurityInfoW hand out: the descriptor in
// the local heap (the caller frees it), owner and DACL pointing into it.
DWORD SecurityAnswer(const Text& sddl, SECURITY_INFORMATION info, PSID* owner, PACL* dacl,
                     PSECURITY_DESCRIPTOR* descriptor);
extern const char16_t DefaultFileSecurity[];
// Sets a file's or folder's security from SDDL (the test's side).
void Secure(const Text& path, const Text& sddl);
// Ends the process: the installer waits for something that never comes. A
// real wait without end would hang the test run; this makes the hang seen.
[[noreturn]] void NeverReturns(const char* what);

// Blocks the system hands out and takes back itself (WTS lists, environment
// blocks), accounted in the local heap.
void* SystemBlock(size_t bytes);
bool FreeSystemBlock(void* block);

// Leak and double-free accounting across the three heaps.
size_t LiveBlocks();
int BadFrees();

// Called when the spooler service reaches STOPPED or RUNNING; areas that model
// what the spooler process holds register here.
void OnSpoolerStopped();
void OnSpoolerStarted();

} // namespace sim
