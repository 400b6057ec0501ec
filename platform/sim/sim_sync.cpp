// Other programs and the ways to meet them: named mutexes, waits on the
// virtual clock, processes started from a command line, and the programs'
// scripted behaviour (a tray program that holds a mutex and owns a window).
#include "machine.h"
#include "sim_win32.h"

#include <algorithm>

using namespace sim;

namespace {

// The program whose process got the id of the spooler's ended one.
const Text OtherProgram = u"C:\\Windows\\system32\\svchost.exe";

bool Running(const Process& p) {
    return p.running;
}

// Signed distance on the wrapping 32-bit clock: negative when already due.
int64_t Until(DWORD when) {
    return static_cast<int32_t>(when - M().tick);
}

void Pass(DWORD ms) {
    M().tick += ms;
    M().sleptMs += ms;
}

// The process that ends first within `ms` from now, or null.
Process* NextToEnd(DWORD ms) {
    Process* next = nullptr;
    for (Process& p : M().processes) {
        if (!p.running || !p.ending || Until(p.endsAt) > static_cast<int64_t>(ms))
            continue;
        if (!next || Until(p.endsAt) < Until(next->endsAt))
            next = &p;
    }
    return next;
}

// What was due by now happens now (a test may have moved the clock itself).
void CatchUp() {
    AdvanceClock(0);
}

Mutex& FreshMutex(const Text& name, const Text& security) {
    Mutex& m = M().mutexes[name];
    m = Mutex{};
    m.name = name;
    m.security = security;
    return m;
}

// The user logged on to the caller's session, or the caller when nobody is.
Token SessionUser() {
    for (const Session& s : M().sessions)
        if (s.id == M().token.sessionId && !s.user.sid.empty())
            return s.user;
    return M().token;
}

const DWORD MutexGeneric[4] = {0x20001, 0x20000, 0x120000, MUTEX_ALL_ACCESS};

DWORD MapGenericMutex(DWORD access) {
    DWORD out = access & 0x0FFFFFFF;
    const DWORD bits[4] = {GENERIC_READ, GENERIC_WRITE, GENERIC_EXECUTE, GENERIC_ALL};
    for (int i = 0; i < 4; ++i)
        if (access & bits[i])
            out |= MutexGeneric[i];
    return out;
}

// The object a mutex name means: "Global\x" and "Local\x" as given; in a
// private namespace ("alias\x") the object of the namespace incarnation that
// an open handle of the caller reaches. Empty: no such namespace open here.
Text ObjectName(const Text& name) {
    size_t cut = name.find(u'\\');
    if (cut == Text::npos || name.compare(0, cut, u"Global") == 0 ||
        name.compare(0, cut, u"Local") == 0)
        return name;
    Text alias = name.substr(0, cut);
    for (const auto& entry : M().handles) {
        const Text& key = entry.second.name;
        if (entry.second.kind == HandleKind::Namespace && key.size() > alias.size() &&
            key.compare(key.size() - alias.size() - 1, Text::npos, u"|" + alias) == 0)
            return u"<namespace " + Widen(std::to_string(M().namespaces[key].incarnation)) + u">" +
                   name.substr(cut);
    }
    return Text();
}

// Creates or opens a named mutex: an existing one is opened only with the
// access its security grants (ERROR_ACCESS_DENIED otherwise), its initial
// ownership is then not granted and ERROR_ALREADY_EXISTS stays as the last
// error; a new one gets the caller's descriptor or the token's default.
HANDLE OpenOrCreateMutex(LPSECURITY_ATTRIBUTES security, const Text* name, bool initialOwner,
                         DWORD access) {
    CatchUp();
    Text n;
    if (name) {
        if (name->size() > MAX_PATH) {
            SetError(ERROR_FILENAME_EXCED_RANGE);
            return nullptr;
        }
        n = ObjectName(*name);
        if (n.empty()) {
            SetError(ERROR_PATH_NOT_FOUND);
            return nullptr;
        }
        if (n[0] != u'<')
            n = ObjectKey(n, M().token.sessionId);
    } else {
        n = u"<unnamed " + Widen(std::to_string(M().nextHandle)) + u">";
    }
    bool existed = name && MutexExists(n);
    if (existed && !AccessGranted(M().mutexes[n].security, M().token, access, MutexGeneric)) {
        SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    Mutex& m =
        existed ? M().mutexes[n] : FreshMutex(n, NewObjectSecurity(M().token, security, Text()));
    if (!existed && initialOwner) {
        m.owner = M().currentInstaller;
        m.recursion = 1;
    }
    HANDLE h = NewHandle(HandleKind::Mutex, n, MapGenericMutex(access));
    SetError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

bool HasExtension(const Text& path) {
    size_t slash = path.find_last_of(u"\\/");
    size_t dot = path.find_last_of(u'.');
    return dot != Text::npos && (slash == Text::npos || dot > slash);
}

bool IsRelative(const Text& path) {
    return !(path.size() >= 2 && path[1] == u':') && path.compare(0, 2, u"\\\\") != 0;
}

Text DirectoryOf(const Text& path) {
    size_t cut = path.find_last_of(u"\\/");
    return cut == Text::npos ? Text() : path.substr(0, cut);
}

// One candidate for the program's file: ".exe" is added when the name has no
// extension; a relative name is looked for in the directory of the running
// program, then in the system directory.
bool FindExecutable(Text name, Text& image) {
    if (name.empty())
        return false;
    if (!HasExtension(name))
        name += u".exe";
    if (!IsRelative(name)) {
        image = name;
        return FileExists(name);
    }
    for (const Text& dir : {DirectoryOf(M().modulePath), M().systemDir}) {
        Text path = dir + u"\\" + name;
        if (FileExists(path)) {
            image = path;
            return true;
        }
    }
    return false;
}

// The documented search for the program of a command line without an
// application name: a quoted first token is the name; otherwise each blank
// may end it, tried from the left ("C:\Program Files\a b.exe" first tries
// "C:\Program.exe", then "C:\Program Files\a.exe", then the whole text).
bool ResolveProgram(const Text& line, Text& image) {
    if (!line.empty() && line[0] == u'"') {
        size_t end = line.find(u'"', 1);
        return FindExecutable(line.substr(1, end == Text::npos ? Text::npos : end - 1), image);
    }
    size_t start = 0;
    while (start < line.size() && (line[start] == u' ' || line[start] == u'\t'))
        ++start;
    for (size_t i = start; i <= line.size(); ++i)
        if (i == line.size() || line[i] == u' ' || line[i] == u'\t')
            if (i > start && FindExecutable(line.substr(start, i - start), image))
                return true;
    return false;
}

} // namespace

namespace sim {

void AdvanceClock(DWORD ms) {
    DWORD left = ms;
    while (Process* next = NextToEnd(left)) {
        int64_t step = Until(next->endsAt);
        if (step > 0) {
            Pass(static_cast<DWORD>(step));
            left -= static_cast<DWORD>(step);
        }
        EndProcess(*next);
    }
    Pass(left);
    SpoolerProcessCatchUp();
}

Process* FindProcess(DWORD id) {
    if (id != 0 && M().shell.id == id)
        return &M().shell;
    for (Process& p : M().processes)
        if (p.id == id)
            return &p;
    return nullptr;
}

void QuitRequested(DWORD id, const PostedMessage* message) {
    Process* p = FindProcess(id);
    if (!p || !p->running || !p->script.obeysQuit || p->ending ||
        (message && message->message != p->script.quitMessage))
        return;
    p->ending = true;
    p->endsAt = M().tick + p->script.quitDelayMs;
}

bool MutexExists(const Text& name) {
    for (const auto& entry : M().handles)
        if (entry.second.kind == HandleKind::Mutex && entry.second.name == name)
            return true;
    for (const Process& p : M().processes)
        if (Running(p) && !p.script.mutexName.empty() &&
            ObjectKey(p.script.mutexName, p.token.sessionId) == name)
            return true;
    return false;
}

Process& StartProcess(const Text& image, const Text& commandLine, const Token* token) {
    Machine& m = M();
    Process p;
    p.id = m.nextProcessId;
    m.nextProcessId += 4;
    p.image = image;
    p.commandLine = commandLine;
    p.token = token ? *token : SessionUser();
    auto script = m.programs.find(Upper(image));
    if (script != m.programs.end())
        p.script = script->second;
    const ProgramScript& s = p.script;
    Text key = s.mutexName.empty() ? Text() : ObjectKey(s.mutexName, p.token.sessionId);
    if (s.singleInstance && !key.empty() && MutexExists(key)) {
        p.running = false; // another one runs in this session: it ends at once
        m.processes.push_back(p);
        return m.processes.back();
    }
    if (File* f = FindFile(image))
        f->loadedByProcess = true;
    if (!key.empty()) {
        Mutex& mutex = MutexExists(key)
                           ? m.mutexes[key]
                           : FreshMutex(key, NewObjectSecurity(p.token, nullptr, s.mutexSecurity));
        if (mutex.owner == 0 && !mutex.abandoned) {
            mutex.owner = p.id;
            mutex.recursion = 1;
        }
    }
    if (s.showsWindow && !s.windowClass.empty()) {
        p.window = AddWindow(s.windowClass, s.windowTitle);
        Window* w = FindWindowByHandle(p.window);
        w->processId = p.id;
        w->session = p.token.sessionId;
        DWORD id = p.id;
        w->onPost = [id](Window&, const PostedMessage& message) { QuitRequested(id, &message); };
    }
    m.processes.push_back(p);
    return m.processes.back();
}

void EndProcess(Process& process) {
    if (!process.running)
        return;
    process.running = false;
    process.ending = false;
    if (Window* w = FindWindowByHandle(process.window))
        w->alive = false;
    auto it = M().mutexes.find(process.script.mutexName.empty()
                                   ? Text()
                                   : ObjectKey(process.script.mutexName, process.token.sessionId));
    if (it != M().mutexes.end() && it->second.owner == process.id) {
        it->second.owner = 0;
        it->second.recursion = 0;
        it->second.abandoned = !process.script.releasesMutex;
    }
    bool stillLoaded = false;
    for (const Process& p : M().processes)
        stillLoaded = stillLoaded || (Running(p) && Upper(p.image) == Upper(process.image));
    if (File* f = FindFile(process.image))
        f->loadedByProcess = stillLoaded;
}

std::vector<Text> Logon() {
    std::vector<Text> started;
    RegKey* run = FindKey(u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
    if (!run)
        return started;
    for (const auto& entry : run->values) {
        const RegValue& v = entry.second;
        if (v.type != REG_SZ && v.type != REG_EXPAND_SZ)
            continue;
        Text line;
        for (size_t i = 0; i + 1 < v.data.size(); i += 2) {
            char16_t c = static_cast<char16_t>(v.data[i] | (v.data[i + 1] << 8));
            if (c == 0)
                break;
            line.push_back(c);
        }
        Text image;
        if (ResolveProgram(line, image)) {
            StartProcess(image, line);
            started.push_back(image);
        }
    }
    return started;
}

} // namespace sim

// Names compare exactly, as in the object namespace.
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCSTR name) {
    if (Enter("CreateMutexA"))
        return nullptr;
    Text n = name ? Widen(name) : Text();
    return OpenOrCreateMutex(security, name ? &n : nullptr, initialOwner, MUTEX_ALL_ACCESS);
}

HANDLE CreateMutexExW(LPSECURITY_ATTRIBUTES security, LPCWSTR name, DWORD flags, DWORD access) {
    if (Enter("CreateMutexExW"))
        return nullptr;
    Text n = name ? Text(name) : Text();
    return OpenOrCreateMutex(security, name ? &n : nullptr, flags & CREATE_MUTEX_INITIAL_OWNER,
                             access);
}

BOOL ReleaseMutex(HANDLE mutex) {
    if (Enter("ReleaseMutex"))
        return FALSE;
    Handle* h = FindHandle(mutex, HandleKind::Mutex);
    if (!h) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Mutex& m = M().mutexes[h->name];
    if (m.owner != M().currentInstaller) {
        SetError(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--m.recursion == 0)
        m.owner = 0;
    return TRUE;
}

// A mutex held by another program is waited for on the virtual clock: the wait
// ends when that program lets go (or ends while holding it: WAIT_ABANDONED, and
// the mutex is ours all the same) or times out after `milliseconds`.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (Enter("WaitForSingleObject"))
        return WAIT_FAILED;
    CatchUp();
    auto it = M().handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == M().handles.end() ||
        (it->second.kind != HandleKind::Mutex && it->second.kind != HandleKind::Process &&
         it->second.kind != HandleKind::Thread)) {
        SetError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    const Handle h = it->second;
    if (h.kind == HandleKind::Mutex && !(h.access & SYNCHRONIZE)) {
        SetError(ERROR_ACCESS_DENIED);
        return WAIT_FAILED;
    }
    const Service& spooler = M().spooler;
    DWORD pid = static_cast<DWORD>(h.owner);
    if (h.kind == HandleKind::Process && h.name == OtherProgram) { // it runs on
        AdvanceClock(milliseconds);
        return WAIT_TIMEOUT;
    }
    if (h.kind == HandleKind::Process && pid >= 20000) { // the spooler's process
        if (pid == spooler.exitingId &&
            Until(spooler.exitsAt) <= static_cast<int64_t>(milliseconds))
            AdvanceClock(static_cast<DWORD>(std::max<int64_t>(0, Until(spooler.exitsAt))));
        if (pid != spooler.processId && pid != spooler.exitingId)
            return WAIT_OBJECT_0;
        AdvanceClock(milliseconds);
        return WAIT_TIMEOUT;
    }
    if (h.kind != HandleKind::Mutex) {
        Process* p = FindProcess(static_cast<DWORD>(h.owner));
        if (p && p->running && p->ending && Until(p->endsAt) <= static_cast<int64_t>(milliseconds))
            AdvanceClock(static_cast<DWORD>(Until(p->endsAt)));
        if (!p || !p->running)
            return WAIT_OBJECT_0;
        if (milliseconds == INFINITE)
            NeverReturns(Narrow(h.name).c_str());
        AdvanceClock(milliseconds);
        return WAIT_TIMEOUT;
    }
    Mutex* m = &M().mutexes[h.name];
    // Held by another installer on this machine: it runs until it lets go.
    while (m->owner != 0 && m->owner != M().currentInstaller && !FindProcess(m->owner) &&
           M().onInstallerBusy) {
        M().onInstallerBusy();
        m = &M().mutexes[h.name];
    }
    if (m->owner != 0 && m->owner != M().currentInstaller) {
        Process* holder = FindProcess(m->owner);
        if (holder && holder->ending &&
            Until(holder->endsAt) <= static_cast<int64_t>(milliseconds)) {
            AdvanceClock(static_cast<DWORD>(Until(holder->endsAt)));
            m = &M().mutexes[h.name];
        } else {
            if (milliseconds == INFINITE)
                NeverReturns(Narrow(h.name).c_str());
            AdvanceClock(milliseconds);
            return WAIT_TIMEOUT;
        }
    }
    if (m->owner == M().currentInstaller) {
        ++m->recursion;
        return WAIT_OBJECT_0;
    }
    bool abandoned = m->abandoned;
    m->owner = M().currentInstaller;
    m->recursion = 1;
    m->abandoned = false;
    return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

// A process that has ended (or never was) cannot be opened: 87. The spooler's
// process can be opened until it has ended.
HANDLE OpenProcess(DWORD access, BOOL, DWORD processId) {
    if (Enter("OpenProcess"))
        return nullptr;
    CatchUp();
    const Service& spooler = M().spooler;
    Process* p = FindProcess(processId);
    bool other = processId && processId == spooler.reusedId;
    bool alive =
        (processId && (processId == spooler.processId || processId == spooler.exitingId)) ||
        other || (p && p->running);
    if (!alive) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Text image = p ? p->image : Text(other ? OtherProgram : u"spoolsv.exe");
    HANDLE h = NewHandle(HandleKind::Process, image, access);
    M().handles[reinterpret_cast<uintptr_t>(h)].owner = static_cast<int>(processId);
    return h;
}

// Without an application name the program is found from the command line as
// documented; the file must exist. The new process and its first thread come
// back as two handles the caller must close. It runs as the caller, in the
// caller's session.
BOOL CreateProcessW(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL inherit, DWORD flags, LPVOID environment,
                    LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
    if (Enter("CreateProcessW"))
        return FALSE;
    return StartProgram(application, commandLine, inherit, flags, environment, directory, startup,
                        info, M().token);
}

BOOL sim::StartProgram(LPCWSTR application, LPWSTR commandLine, BOOL inherit, DWORD flags,
                       LPVOID environment, LPCWSTR directory, LPSTARTUPINFOW startup,
                       LPPROCESS_INFORMATION info, const Token& token) {
    CatchUp();
    if (!startup || !info || (!application && !commandLine)) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Text line = commandLine ? Text(commandLine) : Text();
    if (line.size() > 32767) {
        SetError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    if (directory && !FindFile(directory)) {
        SetError(ERROR_DIRECTORY);
        return FALSE;
    }
    Text image;
    bool found = application ? FindExecutable(application, image) : ResolveProgram(line, image);
    if (!found) {
        SetError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    Process& p = StartProcess(image, line, &token);
    p.application = application ? Text(application) : Text();
    p.inheritHandles = inherit;
    p.creationFlags = flags;
    p.ownEnvironment = environment != nullptr;
    p.currentDirectory = directory ? Text(directory) : Text();
    p.startup = *startup;
    DWORD id = p.id;
    info->hProcess = NewHandle(HandleKind::Process, image);
    info->hThread = NewHandle(HandleKind::Thread, image);
    M().handles[reinterpret_cast<uintptr_t>(info->hProcess)].owner = static_cast<int>(id);
    M().handles[reinterpret_cast<uintptr_t>(info->hThread)].owner = static_cast<int>(id);
    info->dwProcessId = id;
    info->dwThreadId = id + 1;
    return TRUE;
}
