// The file system: files with their bytes and version, who holds them open or
// loaded, sharing modes, and deletion scheduled for the next restart.
#include "machine.h"
#include "sim_win32.h"

#include <algorithm>

using namespace sim;

namespace {

Text ParentOf(const Text& path) {
    size_t cut = path.find_last_of(u"\\/");
    return cut == Text::npos ? Text() : path.substr(0, cut);
}

// ERROR_PATH_NOT_FOUND when the directory is missing, else ERROR_FILE_NOT_FOUND.
DWORD MissingError(const Text& path) {
    Text parent = ParentOf(path);
    if (parent.empty() || parent.size() == 2) // "C:" is a drive root
        return ERROR_FILE_NOT_FOUND;
    File* dir = FindFile(parent);
    return dir && dir->directory ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

bool ParentExists(const Text& path) {
    Text parent = ParentOf(path);
    if (parent.empty())
        return true; // a bare name lies in the current directory
    if (parent.size() == 2 && parent[1] == u':')
        return true;
    File* dir = FindFile(parent);
    return dir && dir->directory;
}

// Whether a new open with `access` and `share` conflicts with the handles
// already open on the file, as the sharing rules say.
bool SharingConflict(const Text& key, DWORD access, DWORD share) {
    bool wantsRead = access & (GENERIC_READ | GENERIC_ALL);
    bool wantsWrite = access & (GENERIC_WRITE | GENERIC_ALL);
    bool wantsDelete = access & DELETE;
    for (const auto& entry : M().handles) {
        const Handle& h = entry.second;
        if (h.kind != HandleKind::File || Upper(h.name) != key)
            continue;
        bool hasRead = h.access & (GENERIC_READ | GENERIC_ALL);
        bool hasWrite = h.access & (GENERIC_WRITE | GENERIC_ALL);
        bool hasDelete = h.access & DELETE;
        if ((wantsRead && !(h.share & FILE_SHARE_READ)) ||
            (wantsWrite && !(h.share & FILE_SHARE_WRITE)) ||
            (wantsDelete && !(h.share & FILE_SHARE_DELETE)) ||
            (hasRead && !(share & FILE_SHARE_READ)) || (hasWrite && !(share & FILE_SHARE_WRITE)) ||
            (hasDelete && !(share & FILE_SHARE_DELETE)))
            return true;
    }
    return false;
}

bool HasChildren(const Text& directory);

Handle* FileHandle(HANDLE h) {
    return FindHandle(h, HandleKind::File);
}

// The path with every link on it followed (the last part only with
// `last`): what the file system opens.
Text Followed(Text path, bool last) {
    for (int hops = 0; hops < 8; ++hops) {
        bool followed = false;
        for (size_t end = path.find(u'\\', 3); !followed; end = path.find(u'\\', end + 1)) {
            bool whole = end == Text::npos;
            Text prefix = whole ? path : path.substr(0, end);
            File* f = whole && !last ? nullptr : FindFile(prefix);
            if (f && !f->linkTarget.empty()) {
                path = f->linkTarget + (whole ? Text() : path.substr(end));
                followed = true;
            }
            if (whole)
                break;
        }
        if (!followed)
            return path;
    }
    return path;
}

// Whether the path names something, links on the way followed.
bool Reaches(const Text& path) {
    return FindFile(Followed(path, true)) != nullptr;
}

// The path with every component that names a file or directory by its 8.3
// alias spelt out long; `missing` receives the error of the first component
// that names nothing (0 when all exist).
Text LongForm(const Text& path, DWORD& missing) {
    missing = 0;
    size_t root = path.size() >= 3 && path[1] == u':' && path[2] == u'\\' ? 2 : Text::npos;
    if (root == Text::npos)
        return path;
    Text out = path.substr(0, root);
    size_t start = root + 1;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        Text part = path.substr(start, end == Text::npos ? Text::npos : end - start);
        Text next = out + u"\\" + part;
        if (!Reaches(next)) {
            Text parent = Upper(out) + u"\\";
            for (const auto& entry : M().files)
                if (!entry.second.shortName.empty() &&
                    entry.first.compare(0, parent.size(), parent) == 0 &&
                    entry.first.find(u'\\', parent.size()) == Text::npos &&
                    Upper(entry.second.shortName) == Upper(part))
                    next = entry.second.path;
            if (!Reaches(next)) {
                missing = end == Text::npos ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
                return out + path.substr(start - 1); // the rest as it was written
            }
        }
        out = next;
        if (end == Text::npos)
            break;
        start = end + 1;
    }
    return out;
}

// A path as Windows normalises it before it looks anything up. "\\?\" hands
// the rest over untouched. Any other full path: forward slashes read as
// backslashes, "." and empty parts dropped, ".." taking the part before it;
// 8.3 aliases stay as written. (No current directory is modelled: relative
// paths stay.)
Text NormalPath(LPCWSTR path) {
    Text p = path ? Text(path) : Text();
    if (p.compare(0, 4, u"\\\\?\\") == 0)
        return p.substr(4);
    std::replace(p.begin(), p.end(), u'/', u'\\');
    size_t root = 0;
    if (p.size() >= 3 && p[1] == u':' && p[2] == u'\\')
        root = 3;
    else if (p.compare(0, 2, u"\\\\") == 0)
        root = 2;
    if (root == 0)
        return p;
    std::vector<Text> parts;
    size_t start = root;
    for (;;) {
        size_t end = p.find(u'\\', start);
        Text part = p.substr(start, end == Text::npos ? Text::npos : end - start);
        if (part == u"..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != u".") {
            parts.push_back(part);
        }
        if (end == Text::npos)
            break;
        start = end + 1;
    }
    Text out = p.substr(0, root);
    for (size_t i = 0; i < parts.size(); ++i)
        out += (i ? u"\\" : u"") + parts[i];
    return out;
}

// The path a file call works on: the normalised path with every 8.3 alias
// spelt out long ("\\?\" paths are taken as they are).
Text Win32Path(LPCWSTR path) {
    Text p = NormalPath(path);
    if (path && Text(path).compare(0, 4, u"\\\\?\\") == 0)
        return p;
    DWORD missing = 0;
    return LongForm(p, missing);
}

// The NT name the system records for a full Win32 path.
Text NtName(const Text& path) {
    if (path.compare(0, 2, u"\\\\") == 0)
        return u"\\??\\UNC\\" + path.substr(2);
    return u"\\??\\" + path;
}

// A string and its terminator, as UTF-16 LE bytes.
void AppendUnits(std::vector<uint8_t>& bytes, const Text& text) {
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
}

// Whether another process still holds the file open; one that holds it only
// for a while lets go once the clock has reached its time.
bool StillHeld(File& f) {
    if (f.heldOpen && f.heldUntil != 0 && static_cast<int32_t>(M().tick - f.heldUntil) >= 0) {
        f.heldOpen = false;
        f.heldUntil = 0;
    }
    return f.heldOpen;
}

} // namespace

namespace sim {

void QueueForRestart(const Text& source, const Text& target) {
    std::vector<uint8_t> bytes;
    if (RegValue* v = FindValue(PendingRenamesKey, u"PendingFileRenameOperations")) {
        bytes = v->data;
        if (bytes.size() >= 2)
            bytes.resize(bytes.size() - 2);
    }
    AppendUnits(bytes, source);
    AppendUnits(bytes, target);
    bytes.push_back(0);
    bytes.push_back(0);
    SetValue(PendingRenamesKey, u"PendingFileRenameOperations", REG_MULTI_SZ, bytes);
}

void NotePath(const char* call, LPCWSTR path, PathUse use) {
    PathCall c;
    c.call = call;
    c.path = path ? Text(path) : Text();
    c.use = use;
    File* f = c.path.empty() ? nullptr : FindFile(Win32Path(path));
    c.directory = f && f->directory;
    M().pathCalls.push_back(c);
}

File& PutFile(const Text& path, const std::string& content, int productBuild) {
    File& f = M().files[Upper(path)];
    f.path = path;
    f.directory = false;
    f.bytes.assign(content.begin(), content.end());
    if (productBuild >= 0) {
        std::vector<uint8_t> resource = VersionResource(productBuild);
        f.bytes.insert(f.bytes.end(), resource.begin(), resource.end());
    }
    return f;
}

void MakeDirectory(const Text& path) {
    File& f = M().files[Upper(path)];
    f.path = path;
    f.directory = true;
}

File* FindFile(const Text& path) {
    auto it = M().files.find(Upper(path));
    return it == M().files.end() ? nullptr : &it->second;
}

bool FileExists(const Text& path) {
    File* f = FindFile(path);
    return f && !f->directory;
}

std::string FileContent(const Text& path) {
    File* f = FindFile(path);
    if (!f)
        return std::string();
    return std::string(f->bytes.begin(),
                       f->bytes.begin() + static_cast<long>(VersionResourceAt(f->bytes)));
}

} // namespace sim

// A link on the path is followed, the last part too unless the caller asks
// for the link itself (FILE_FLAG_OPEN_REPARSE_POINT).
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE) {
    bool writing = (access & (GENERIC_WRITE | GENERIC_ALL)) || disposition == CREATE_ALWAYS ||
                   disposition == TRUNCATE_EXISTING;
    NotePath("CreateFileW", path,
             writing             ? PathUse::Write
             : (access & DELETE) ? PathUse::Delete
                                 : PathUse::Read);
    M().tick += M().createFileMs;
    if (Enter("CreateFileW"))
        return INVALID_HANDLE_VALUE;
    Text p = Win32Path(path);
    if (!p.empty())
        p = Followed(p, !(flags & FILE_FLAG_OPEN_REPARSE_POINT));
    if (p.empty()) {
        SetError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!ParentExists(p)) {
        SetError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    Text key = Upper(p);
    File* f = FindFile(p);
    if (f && f->directory) {
        SetError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    bool writes = (access & (GENERIC_WRITE | GENERIC_ALL)) || disposition == CREATE_ALWAYS ||
                  disposition == TRUNCATE_EXISTING;
    if (!f && (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (f && disposition == CREATE_NEW) {
        SetError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    if (f && (StillHeld(*f) || (writes && (f->loadedBySpooler || f->loadedByProcess)) ||
              SharingConflict(key, access, share))) {
        SetError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    bool existed = f != nullptr;
    if (!f) {
        f = &PutFile(p);
        if (security && security->lpSecurityDescriptor)
            f->security = NewObjectSecurity(M().token, security, Text());
    } else if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
        f->bytes.clear();
    }
    HANDLE h = NewHandle(HandleKind::File, f->path, access);
    M().handles[reinterpret_cast<uintptr_t>(h)].share = share;
    // Documented: success on an existing file with CREATE_ALWAYS or OPEN_ALWAYS
    // leaves ERROR_ALREADY_EXISTS as the last error; otherwise it is cleared.
    SetError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                 ? ERROR_ALREADY_EXISTS
                 : ERROR_SUCCESS);
    return h;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
    if (read)
        *read = 0;
    if (Enter("ReadFile"))
        return FALSE;
    Handle* h = FileHandle(file);
    if (!h) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(h->access & (GENERIC_READ | GENERIC_ALL))) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    File* f = FindFile(h->name);
    if (!f) {
        SetError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    uint64_t left = h->pos < f->bytes.size() ? f->bytes.size() - h->pos : 0;
    DWORD n = static_cast<DWORD>(std::min<uint64_t>(left, toRead));
    if (f->readLimit != 0 && n > f->readLimit)
        n = f->readLimit;
    if (n > 0)
        std::copy(f->bytes.begin() + static_cast<long>(h->pos),
                  f->bytes.begin() + static_cast<long>(h->pos + n), static_cast<uint8_t*>(buffer));
    h->pos += n;
    if (read)
        *read = n;
    return TRUE;
}

// The low 32 bits of the size, the high ones in `sizeHigh`. A failure returns
// INVALID_FILE_SIZE with an error; a size whose low part looks like it leaves
// NO_ERROR as the last error, so the caller can tell the two apart.
DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh) {
    if (Enter("GetFileSize"))
        return INVALID_FILE_SIZE;
    Handle* h = FileHandle(file);
    File* f = h ? FindFile(h->name) : nullptr;
    if (!f) {
        SetError(ERROR_INVALID_HANDLE);
        return INVALID_FILE_SIZE;
    }
    uint64_t size = f->bytes.size();
    if (sizeHigh)
        *sizeHigh = static_cast<DWORD>(size >> 32);
    if (static_cast<DWORD>(size) == INVALID_FILE_SIZE)
        SetError(NO_ERROR);
    return static_cast<DWORD>(size);
}

// A write that does not fit on the disk fails whole: nothing is written and
// ERROR_DISK_FULL is the last error, as NTFS reserves the room first.
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED) {
    if (written)
        *written = 0;
    if (Enter("WriteFile"))
        return FALSE;
    Handle* h = FileHandle(file);
    if (!h) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(h->access & (GENERIC_WRITE | GENERIC_ALL))) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    File* f = FindFile(h->name);
    if (!f) {
        SetError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    int64_t& space = M().diskSpace;
    DWORD n = toWrite;
    if (space >= 0 && static_cast<int64_t>(n) > space) {
        SetError(ERROR_DISK_FULL);
        return FALSE;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    if (f->bytes.size() < h->pos + n)
        f->bytes.resize(h->pos + n);
    std::copy(bytes, bytes + n, f->bytes.begin() + static_cast<long>(h->pos));
    h->pos += n;
    if (space >= 0)
        space -= n;
    if (written)
        *written = n;
    return TRUE;
}

// A file whose deletion was asked for through a handle goes with its last handle.
BOOL CloseHandle(HANDLE handle) {
    Enter("CloseHandle");
    auto it = M().handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == M().handles.end() || it->second.kind == HandleKind::ScManager ||
        it->second.kind == HandleKind::Service || it->second.kind == HandleKind::Printer ||
        it->second.kind == HandleKind::Key) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Text doomed = it->second.deleteOnClose ? Upper(it->second.name) : Text();
    M().handles.erase(it);
    bool open = false;
    for (const auto& entry : M().handles)
        open =
            open || (entry.second.kind == HandleKind::File && Upper(entry.second.name) == doomed);
    if (!doomed.empty() && !open)
        M().files.erase(doomed);
    return TRUE;
}

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
    if (Enter("GetFileInformationByHandle"))
        return FALSE;
    Handle* h = FileHandle(file);
    File* f = h ? FindFile(h->name) : nullptr;
    if (!f || !info) {
        SetError(f ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *info = BY_HANDLE_FILE_INFORMATION{};
    info->dwFileAttributes = (f->directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE) |
                             (f->linkTarget.empty() ? 0 : FILE_ATTRIBUTE_REPARSE_POINT);
    info->nFileSizeLow = static_cast<DWORD>(f->bytes.size());
    info->nNumberOfLinks = f->links;
    return TRUE;
}

// "\\?\" and the path of what the handle opened, long names as created.
// Too small a buffer: the size needed, terminator included.
DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD size, DWORD flags) {
    if (Enter("GetFinalPathNameByHandleW"))
        return 0;
    Handle* h = FileHandle(file);
    File* f = h ? FindFile(h->name) : nullptr;
    if (!f || flags != (FILE_NAME_NORMALIZED | VOLUME_NAME_DOS)) {
        SetError(f ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return 0;
    }
    Text final = u"\\\\?\\" + f->path;
    if (!path || size < final.size() + 1)
        return static_cast<DWORD>(final.size() + 1);
    std::copy(final.begin(), final.end(), path);
    path[final.size()] = 0;
    return static_cast<DWORD>(final.size());
}

// Only the disposition: a running program's file or a loaded module cannot
// be deleted (access denied), nor a directory that holds anything.
BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type, LPVOID info,
                                DWORD size) {
    if (Enter("SetFileInformationByHandle"))
        return FALSE;
    Handle* h = FileHandle(file);
    File* f = h ? FindFile(h->name) : nullptr;
    if (!f) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (type != FileDispositionInfo || !info || size < sizeof(FILE_DISPOSITION_INFO)) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!(h->access & (DELETE | GENERIC_ALL)) || f->loadedBySpooler || f->loadedByProcess) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (f->directory && HasChildren(f->path)) {
        SetError(ERROR_DIR_NOT_EMPTY);
        return FALSE;
    }
    h->deleteOnClose = static_cast<FILE_DISPOSITION_INFO*>(info)->DeleteFile != 0;
    return TRUE;
}

// A module that a process has loaded cannot be deleted (access denied); a file
// open without delete sharing cannot either (sharing violation).
BOOL DeleteFileW(LPCWSTR path) {
    NotePath("DeleteFileW", path, PathUse::Delete);
    if (Enter("DeleteFileW"))
        return FALSE;
    Text p = Win32Path(path);
    File* f = p.empty() ? nullptr : FindFile(p);
    if (!f) {
        SetError(p.empty() ? ERROR_PATH_NOT_FOUND : MissingError(p));
        return FALSE;
    }
    if (f->directory || f->loadedBySpooler || f->loadedByProcess) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (StillHeld(*f) ||
        SharingConflict(Upper(p), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
        SetError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    M().files.erase(Upper(p));
    return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR path) {
    NotePath("GetFileAttributesW", path, PathUse::Read);
    if (Enter("GetFileAttributesW"))
        return INVALID_FILE_ATTRIBUTES;
    Text p = Win32Path(path);
    File* f = p.empty() ? nullptr : FindFile(p);
    if (!f) {
        SetError(p.empty() ? ERROR_PATH_NOT_FOUND : MissingError(p));
        return INVALID_FILE_ATTRIBUTES;
    }
    return f->directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
}

// Documented: the length without the terminator; with too small a buffer the
// size it needs, terminator included; 0 and the last error when the path
// (or a directory on it) does not exist.
DWORD GetLongPathNameW(LPCWSTR shortPath, LPWSTR longPath, DWORD size) {
    if (Enter("GetLongPathNameW"))
        return 0;
    if (!shortPath) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Text p = Win32Path(shortPath);
    DWORD missing = 0;
    Text spelt = LongForm(p, missing);
    if (p.empty() || !Reaches(spelt)) {
        SetError(missing ? missing : ERROR_FILE_NOT_FOUND);
        return 0;
    }
    if (!longPath || size < spelt.size() + 1)
        return static_cast<DWORD>(spelt.size() + 1);
    std::copy(spelt.begin(), spelt.end(), longPath);
    longPath[spelt.size()] = 0;
    return static_cast<DWORD>(spelt.size());
}

// With MOVEFILE_DELAY_UNTIL_REBOOT the operation is only recorded in the
// Session Manager's PendingFileRenameOperations: the value loses its final
// terminator, then gets the source's NT name, the target's ("!" in front when
// it may replace a file; "" for a deletion) and a new final terminator. The
// names are the paths as given (8.3 aliases are not spelt out); the source
// need not exist.
BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
    bool later = (flags & MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
    NotePath("MoveFileExW", from, later && !(to && to[0]) ? PathUse::Schedule : PathUse::Delete);
    if (to && to[0])
        NotePath("MoveFileExW", to, later ? PathUse::Schedule : PathUse::Write);
    if (Enter("MoveFileExW"))
        return FALSE;
    if (!from || !from[0]) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) {
        if (flags & MOVEFILE_COPY_ALLOWED) {
            SetError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        Text target;
        if (to && to[0])
            target = ((flags & MOVEFILE_REPLACE_EXISTING) ? u"!" : u"") + NtName(NormalPath(to));
        QueueForRestart(NtName(NormalPath(from)), target);
        return TRUE;
    }
    File* f = FindFile(Win32Path(from));
    if (!f) {
        SetError(MissingError(Win32Path(from)));
        return FALSE;
    }
    if (f->loadedBySpooler || f->loadedByProcess || StillHeld(*f)) {
        SetError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (!to) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Text source = Win32Path(from);
    Text target = Win32Path(to);
    if (FindFile(target) && !(flags & MOVEFILE_REPLACE_EXISTING)) {
        SetError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (!ParentExists(target)) {
        SetError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    File moved = *f;
    moved.path = target;
    M().files.erase(Upper(source));
    M().files[Upper(target)] = moved;
    return TRUE;
}

namespace {

bool HasChildren(const Text& directory) {
    Text prefix = Upper(directory) + u"\\";
    for (const auto& entry : M().files)
        if (entry.first.compare(0, prefix.size(), prefix) == 0)
            return true;
    return false;
}

} // namespace

namespace sim {

// The Session Manager's part of a restart: each pair is carried out in order.
// A deletion removes a file, or a directory only when it is empty; a rename
// replaces an existing target only when the target is marked with "!".
// Operations that cannot be done are skipped. Then the spooler starts.
void Reboot() {
    Machine& m = M();
    std::vector<Text> ops;
    if (RegValue* v = FindValue(PendingRenamesKey, u"PendingFileRenameOperations"))
        ops = MultiStrings(*v);
    if (RegKey* k = FindKey(PendingRenamesKey))
        k->values.erase(u"PENDINGFILERENAMEOPERATIONS");
    for (auto& entry : m.files) {
        File& f = entry.second;
        f.loadedBySpooler = f.loadedByProcess = f.heldOpen = f.lockedThroughRestart = false;
        f.heldUntil = 0;
    }
    auto strip = [](const Text& s) { return s.compare(0, 4, u"\\??\\") == 0 ? s.substr(4) : s; };
    for (size_t i = 0; i + 1 < ops.size(); i += 2) {
        Text source = Win32Path(strip(ops[i]).c_str());
        bool replace = !ops[i + 1].empty() && ops[i + 1][0] == u'!';
        Text target = strip(replace ? ops[i + 1].substr(1) : ops[i + 1]);
        if (!target.empty())
            target = Win32Path(target.c_str());
        File* f = FindFile(source);
        if (!f)
            continue;
        if (target.empty()) {
            if (!f->directory || !HasChildren(source))
                m.files.erase(Upper(source));
            continue;
        }
        if ((FindFile(target) && !replace) || !ParentExists(target))
            continue;
        File moved = *f;
        moved.path = target;
        m.files.erase(Upper(source));
        m.files[Upper(target)] = moved;
    }
    m.handles.clear();
    m.spooler.state = SERVICE_RUNNING;
    OnSpoolerStarted();
}

} // namespace sim

// A folder's or a file's security by path; "C:\\" is the drive's root.
DWORD GetNamedSecurityInfoW(LPCWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                            PSID* owner, PSID*, PACL* dacl, PACL*,
                            PSECURITY_DESCRIPTOR* descriptor) {
    if (Enter("GetNamedSecurityInfoW"))
        return GetLastError();
    Text p = Win32Path(name);
    if (type != SE_FILE_OBJECT || p.empty())
        return ERROR_INVALID_PARAMETER;
    if (p.size() == 3 && p[1] == u':' && p[2] == u'\\')
        return SecurityAnswer(M().rootSecurity, info, owner, dacl, descriptor);
    File* f = FindFile(p);
    if (!f)
        return MissingError(p);
    return SecurityAnswer(f->security, info, owner, dacl, descriptor);
}

BOOL SetEndOfFile(HANDLE file) {
    if (Enter("SetEndOfFile"))
        return FALSE;
    Handle* h = FileHandle(file);
    File* f = h ? FindFile(h->name) : nullptr;
    if (!f) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(h->access & (GENERIC_WRITE | GENERIC_ALL))) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    f->bytes.resize(h->pos);
    return TRUE;
}

// From the start of the file only, the one way the installer moves.
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
    if (Enter("SetFilePointer"))
        return INVALID_SET_FILE_POINTER;
    Handle* h = FileHandle(file);
    if (!h || method != FILE_BEGIN || distance < 0 || (distanceHigh && *distanceHigh)) {
        SetError(h ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return INVALID_SET_FILE_POINTER;
    }
    h->pos = static_cast<uint64_t>(distance);
    return static_cast<DWORD>(distance);
}
