// The machine itself, scripted faults, time, the thread's last error and the
// three heaps with their accounting.
#include "machine.h"
#include "sim_win32.h"

#include <cstdlib>
#include <cstring>

namespace sim {

namespace {
Machine* current = nullptr;
// Process heap handle: any stable non-null value serves.
HANDLE const processHeap = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7fff0000));
} // namespace

Machine& M() {
    if (!current)
        Reset();
    return *current;
}

void Reset() {
    delete current;
    current = new Machine();
    Machine& m = *current;
    File dir;
    dir.directory = true;
    for (const Text& path :
         {Text(u"C:\\Windows"), m.systemDir, m.systemDir + u"\\spool", m.spoolDriverRoot,
          m.spoolDriverRoot + u"\\x64", m.spoolDriverRoot + u"\\x64\\3",
          m.spoolDriverRoot + u"\\w32x86", m.spoolDriverRoot + u"\\w32x86\\3",
          Text(u"C:\\Program Files"), Text(u"C:\\Program Files\\Kestrovane"),
          Text(u"C:\\Program Files\\Kestrovane\\setup")}) {
        dir.path = path;
        m.files[Upper(path)] = dir;
    }
    // The 8.3 aliases a default NTFS volume gives the long names.
    m.files[Upper(Text(u"C:\\Program Files"))].shortName = u"PROGRA~1";
    m.files[Upper(Text(u"C:\\Program Files\\Kestrovane"))].shortName = u"KESTRO~1";
    // Every Windows has the standard local port monitor.
    m.monitors.push_back(Monitor{u"Local Port", u"Windows x64", u"localspl.dll"});
    CreateKey(PendingRenamesKey);
    CreateKey(u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
    CreateKey(u"HKCU\\Software");
    // The hives loaded under HKEY_USERS: the services' and the administrator's.
    for (const Text& hive : {Text(u".DEFAULT"), SystemSid, Text(u"S-1-5-19"), Text(u"S-1-5-20"),
                             UserSid, UserSid + u"_Classes"})
        CreateKey(u"HKU\\" + hive);
    // Session 0 runs the services; the administrator works in session 1,
    // where the shell runs with the limited half of the split token.
    m.sessions = {Session{0, WTSDisconnected, Token{}},
                  Session{1, WTSActive, LimitedToken(UserSid, 1)}};
    m.shell.id = 40;
    m.shell.image = u"C:\\Windows\\explorer.exe";
    m.shell.commandLine = m.shell.image;
    m.shell.token = LimitedToken(UserSid, 1);
    m.shell.window = AddWindow(u"Progman", u"Program Manager");
    FindWindowByHandle(m.shell.window)->processId = m.shell.id;
}

Text Widen(const std::string& ascii) {
    Text out;
    for (unsigned char c : ascii)
        out.push_back(c);
    return out;
}

std::string Narrow(const Text& text) {
    std::string out;
    for (char16_t c : text)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

Text Upper(const Text& text) {
    Text out = text;
    for (char16_t& c : out)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - 32);
    return out;
}

Text UpperName(const Text& text) {
    Text out = text;
    for (char16_t& c : out) {
        if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) ||
            (c >= 0x430 && c <= 0x44F))
            c = static_cast<char16_t>(c - 32);
        else if (c == 0xFF)
            c = 0x178;
        else if (c >= 0x450 && c <= 0x45F)
            c = static_cast<char16_t>(c - 80);
    }
    return out;
}

void FailCall(const std::string& call, DWORD error, int nth, int times) {
    M().faults.push_back(Fault{call, nth, error, times});
}

int CallCount(const std::string& call) {
    auto it = M().callCounts.find(call);
    return it == M().callCounts.end() ? 0 : it->second;
}

bool Enter(const char* call) {
    Machine& m = M();
    int n = ++m.callCounts[call];
    if (m.recordCalls)
        m.calls.push_back(call);
    if (m.onCall) {
        auto hook = m.onCall; // the hook may replace itself
        hook(call, n);
    }
    for (const Fault& f : m.faults) {
        if (f.call != call || n < f.nth)
            continue;
        if (f.times >= 0 && n >= f.nth + f.times)
            continue;
        m.lastError = f.error;
        return true;
    }
    return false;
}

void SetError(DWORD code) {
    M().lastError = code;
}

HANDLE NewHandle(HandleKind kind, const Text& name, DWORD access) {
    Machine& m = M();
    uintptr_t value = m.nextHandle;
    m.nextHandle += 4;
    Handle h;
    h.kind = kind;
    h.name = name;
    h.access = access;
    m.handles[value] = h;
    return reinterpret_cast<HANDLE>(value);
}

Handle* FindHandle(HANDLE handle, HandleKind kind) {
    auto it = M().handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == M().handles.end() || it->second.kind != kind)
        return nullptr;
    return &it->second;
}

size_t OpenHandles(HandleKind kind) {
    size_t n = 0;
    for (const auto& entry : M().handles)
        if (entry.second.kind == kind)
            ++n;
    return n;
}

size_t LiveBlocks() {
    const Machine& m = M();
    return m.generalHeap.live.size() + m.globalHeap.live.size() + m.localHeap.live.size();
}

int BadFrees() {
    const Machine& m = M();
    return m.generalHeap.badFrees + m.globalHeap.badFrees + m.localHeap.badFrees;
}

namespace {

// Fresh blocks that the caller did not ask to be zeroed hold garbage, as on
// Windows; code that relies on zeroes it did not ask for shows up in tests.
void* AllocateIn(Heap& heap, size_t bytes, bool zero) {
    void* block = std::malloc(bytes ? bytes : 1);
    if (!block)
        return nullptr;
    std::memset(block, zero ? 0 : 0xBA, bytes);
    heap.live[block] = bytes;
    ++heap.allocations;
    return block;
}

bool FreeIn(Heap& heap, const void* block) {
    auto it = heap.live.find(block);
    if (it == heap.live.end()) {
        ++heap.badFrees;
        return false;
    }
    heap.live.erase(it);
    ++heap.frees;
    std::free(const_cast<void*>(block));
    return true;
}

} // namespace

void* SystemBlock(size_t bytes) {
    return AllocateIn(M().localHeap, bytes, true);
}

bool FreeSystemBlock(void* block) {
    return FreeIn(M().localHeap, block);
}

} // namespace sim

using namespace sim;

DWORD GetLastError() {
    return M().lastError;
}
void SetLastError(DWORD code) {
    M().lastError = code;
}

void Sleep(DWORD milliseconds) {
    Enter("Sleep");
    AdvanceClock(milliseconds); // other programs go on meanwhile
}

DWORD GetTickCount() {
    Enter("GetTickCount");
    return M().tick;
}

void GetLocalTime(LPSYSTEMTIME time) {
    Enter("GetLocalTime");
    *time = M().localTime;
}

HANDLE GetProcessHeap() {
    return processHeap;
}

// HeapAlloc and HeapReAlloc do not set the last error on failure (they would
// raise an exception with HEAP_GENERATE_EXCEPTIONS, which nobody here asks for).
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    if (Enter("HeapAlloc") || heap != processHeap)
        return nullptr;
    return AllocateIn(M().generalHeap, bytes, (flags & HEAP_ZERO_MEMORY) != 0);
}

LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
    if (Enter("HeapReAlloc") || heap != processHeap)
        return nullptr;
    Heap& h = M().generalHeap;
    auto it = h.live.find(block);
    if (it == h.live.end()) {
        ++h.badFrees;
        return nullptr;
    }
    size_t old = it->second;
    if (flags & HEAP_REALLOC_IN_PLACE_ONLY) {
        if (bytes > old)
            return nullptr;
        it->second = bytes;
        return block;
    }
    void* grown = AllocateIn(h, bytes, (flags & HEAP_ZERO_MEMORY) != 0);
    if (!grown)
        return nullptr;
    std::memcpy(grown, block, old < bytes ? old : bytes);
    FreeIn(h, block);
    return grown;
}

BOOL HeapFree(HANDLE heap, DWORD, LPVOID block) {
    Enter("HeapFree");
    if (heap != processHeap || !FreeIn(M().generalHeap, block)) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

SIZE_T HeapSize(HANDLE heap, DWORD, LPCVOID block) {
    Enter("HeapSize");
    const Heap& h = M().generalHeap;
    auto it = h.live.find(block);
    if (heap != processHeap || it == h.live.end())
        return static_cast<SIZE_T>(-1);
    return it->second;
}

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
    if (Enter("GlobalAlloc"))
        return nullptr;
    void* block = AllocateIn(M().globalHeap, bytes, (flags & GMEM_ZEROINIT) != 0);
    if (!block)
        SetError(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

// Returns null on success and the block itself on failure, as documented.
HGLOBAL GlobalFree(HGLOBAL block) {
    Enter("GlobalFree");
    if (!block)
        return nullptr;
    if (!FreeIn(M().globalHeap, block)) {
        SetError(ERROR_INVALID_HANDLE);
        return block;
    }
    return nullptr;
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    if (Enter("LocalAlloc"))
        return nullptr;
    void* block = AllocateIn(M().localHeap, bytes, (flags & GMEM_ZEROINIT) != 0);
    if (!block)
        SetError(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

HLOCAL LocalFree(HLOCAL block) {
    Enter("LocalFree");
    if (!block)
        return nullptr;
    if (!FreeIn(M().localHeap, block)) {
        SetError(ERROR_INVALID_HANDLE);
        return block;
    }
    return nullptr;
}

int lstrlenW(LPCWSTR text) {
    if (!text)
        return 0;
    int n = 0;
    while (text[n])
        ++n;
    return n;
}

LPWSTR lstrcpyW(LPWSTR to, LPCWSTR from) {
    int i = 0;
    do {
        to[i] = from[i];
    } while (from[i++]);
    return to;
}
