#include "install/single_installer.h"

#include "run/install_log.h"

namespace {

const WCHAR LockSecurity[] = W("D:P(A;;GA;;;SY)(A;;GA;;;BA)");
const WCHAR BoundaryName[] = W("Kestrovane.ksvinstall");
const WCHAR NamespaceAlias[] = W("Kestrovane");
const WCHAR NamespacedName[] = W("Kestrovane\\ksvinstall");
const WCHAR GlobalName[] = W("Global\\Kestrovane.ksvinstall");
const DWORD LockAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE | READ_CONTROL;
// A namespace that exists when we create it may be gone when we open it (its
// last holder ended in between): then it is made again.
const int NamespaceRounds = 5;

// The namespace calls, looked up at run time: Wine 8's kernel32 lacks most of
// them, and one that is imported but missing ends the process when called.
struct NamespaceCalls {
    HANDLE(WINAPI* createBoundary)(LPCWSTR, ULONG);
    BOOL(WINAPI* addSid)(HANDLE*, PSID);
    void(WINAPI* deleteBoundary)(HANDLE);
    HANDLE(WINAPI* create)(LPSECURITY_ATTRIBUTES, LPVOID, LPCWSTR);
    HANDLE(WINAPI* open)(LPVOID, LPCWSTR);
    BOOLEAN(WINAPI* close)(HANDLE, ULONG);
};

template <typename Call> bool Find(HMODULE kernel, const char* name, Call& call) {
    FARPROC found = GetProcAddress(kernel, name);
    call = reinterpret_cast<Call>(reinterpret_cast<void (*)()>(found));
    return found != nullptr;
}

bool FindNamespaceCalls(NamespaceCalls& calls) {
    HMODULE kernel = GetModuleHandleW(W("kernel32.dll"));
    return kernel && Find(kernel, "CreateBoundaryDescriptorW", calls.createBoundary) &&
           Find(kernel, "AddSIDToBoundaryDescriptor", calls.addSid) &&
           Find(kernel, "DeleteBoundaryDescriptor", calls.deleteBoundary) &&
           Find(kernel, "CreatePrivateNamespaceW", calls.create) &&
           Find(kernel, "OpenPrivateNamespaceW", calls.open) &&
           Find(kernel, "ClosePrivateNamespace", calls.close);
}

// Ours, or another run's of this installer, or left by one: the namespace
// holds the Administrators group.
HANDLE OpenNamespace(const NamespaceCalls& calls, HANDLE boundary, SECURITY_ATTRIBUTES& attributes,
                     DWORD& code) {
    for (int round = 0; round < NamespaceRounds; ++round) {
        HANDLE space = calls.create(&attributes, boundary, NamespaceAlias);
        if (space)
            return space;
        code = GetLastError();
        if (code != ERROR_ALREADY_EXISTS)
            return nullptr;
        space = calls.open(boundary, NamespaceAlias);
        if (space)
            return space;
        code = GetLastError();
        if (code == ERROR_ACCESS_DENIED)
            return nullptr;
    }
    return nullptr;
}

bool LockInNamespace(const NamespaceCalls& calls, HANDLE boundary, SECURITY_ATTRIBUTES& attributes,
                     InstallersLock& lock, Refusal& refusal) {
    DWORD code = ERROR_SUCCESS;
    HANDLE space = nullptr;
    if (!calls.addSid(&boundary, const_cast<BYTE*>(AdministratorsSid)))
        code = GetLastError();
    else
        space = OpenNamespace(calls, boundary, attributes, code);
    calls.deleteBoundary(boundary);
    if (!space)
        return Refuse(refusal, ErrLockUnavailable, code, NamespacedName);
    lock.Namespace = space;
    lock.CloseNamespace = calls.close;
    lock.Mutex = CreateMutexExW(&attributes, NamespacedName, 0, LockAccess);
    return lock.Mutex || Refuse(refusal, ErrLockUnavailable, GetLastError(), NamespacedName);
}

// Whoever made the global mutex first owns it: only an installer's owner
// (SYSTEM, Administrators, the account we run as) makes it ours to wait for.
// The DACL is the one an installer gives it.
bool LockInGlobal(SECURITY_ATTRIBUTES& attributes, InstallersLock& lock, Refusal& refusal) {
    lock.Mutex = CreateMutexExW(&attributes, GlobalName, 0, LockAccess);
    if (!lock.Mutex)
        return Refuse(refusal, ErrLockUnavailable, GetLastError(), GlobalName);
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    OwnAccounts own;
    DWORD code = GetSecurityInfo(lock.Mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                 nullptr, nullptr, nullptr, &descriptor);
    bool read = code == ERROR_SUCCESS && ReadOwnAccounts(own, code);
    bool ours = read && TrustedOwner(own, owner);
    if (!read)
        Refuse(refusal, ErrLockUnavailable, code, GlobalName);
    else if (!ours) // no owner at all: made without a descriptor, open to all
        Refuse(refusal, ErrCanBeChanged, ERROR_SUCCESS, GlobalName, owner ? owner : EveryoneSid);
    LocalFree(descriptor);
    return ours;
}

bool OpenLock(SECURITY_ATTRIBUTES& attributes, InstallersLock& lock, Refusal& refusal) {
    NamespaceCalls calls;
    if (!FindNamespaceCalls(calls))
        return LockInGlobal(attributes, lock, refusal);
    // Wine 8 answers NULL without an error: no namespaces there. A real
    // failure is no reason to leave the namespace the other installers use.
    SetLastError(ERROR_SUCCESS);
    HANDLE boundary = calls.createBoundary(BoundaryName, 0);
    if (boundary)
        return LockInNamespace(calls, boundary, attributes, lock, refusal);
    DWORD code = GetLastError();
    return code == ERROR_SUCCESS ? LockInGlobal(attributes, lock, refusal)
                                 : Refuse(refusal, ErrLockUnavailable, code, NamespacedName);
}

bool WaitForLock(InstallersLock& lock, Refusal& refusal) {
    DWORD result = WaitForSingleObject(lock.Mutex, InstallersLockWait);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        lock.Held = true;
        return true;
    }
    if (result == WAIT_TIMEOUT)
        return Refuse(refusal, ErrLockTimeout, ERROR_SUCCESS, nullptr);
    return Refuse(refusal, ErrLockUnavailable, GetLastError(),
                  lock.Namespace ? NamespacedName : GlobalName);
}

} // namespace

bool TakeInstallersLock(InstallersLock& lock, Refusal& refusal) {
    lock = InstallersLock();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(LockSecurity, SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return Refuse(refusal, ErrLockUnavailable, GetLastError(), GlobalName);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    bool taken = OpenLock(attributes, lock, refusal) && WaitForLock(lock, refusal);
    LocalFree(descriptor);
    if (!taken)
        LetOtherInstallersRun(lock);
    return taken;
}

void LetOtherInstallersRun(InstallersLock& lock) {
    if (lock.Held)
        ReleaseMutex(lock.Mutex);
    if (lock.Mutex)
        CloseHandle(lock.Mutex);
    if (lock.Namespace)
        lock.CloseNamespace(lock.Namespace, 0); // never destroyed: others may use it
    lock = InstallersLock();
}
