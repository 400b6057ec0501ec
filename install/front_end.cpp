#include "install/front_end.h"

#include "common/text.h"
#include "common/wide_string.h"
#include "files/deferred_deletes.h"
#include "install/context_setup.h"
#include "install/package_check.h"
#include "install/probes.h"
#include "install/report/log_dialog.h"
#include "install/report/log_file.h"
#include "install/run_options.h"
#include "install/sequences.h"
#include "install/single_installer.h"
#include "run/install_context.h"
#include "run/install_log.h"
#include "run/module.h"
#include "tray/tray_control.h"

namespace {

const int ExitInstalled = 1;
const int ExitUninstalled = 2;
const int ExitProbeNo = 3;
const int ExitDefaultSet = 4;
const int ExitNothing = 6;
const int ExitDefaultNotOurs = 102;
const int ExitDriverCurrent = 103;
const int ExitRestartFirst = 200;
const int ExitErrors = 100;
const int ExitRestart = 101;
const int ExitLockBusy = 104;

// A help viewer that never closes must not keep the installer waiting for
// ever: about five seconds of looking is the most it gets.
const int HelpWindowLooks = 100;

bool ShiftHeld() {
    return GetAsyncKeyState(VK_SHIFT) < 0;
}

// Only with exactly three arguments is the third one the owner window.
HWND OwnerWindow(int argc, LPWSTR* argv) {
    if (argc != 3)
        return nullptr;
    HWND window = reinterpret_cast<HWND>(static_cast<intptr_t>(ParseDecimal(argv[2])));
    return IsWindow(window) ? window : nullptr;
}

bool VerbIs(const WCHAR* verb, const WCHAR* name) {
    return TextEqualNoCase(verb, name);
}

uint32_t InstallMode(const WCHAR* verb) {
    if (VerbIs(verb, W("in")) || VerbIs(verb, W("install")) || VerbIs(verb, W("serverinstall")))
        return Mode64Bit;
    if (VerbIs(verb, W("in_notray")))
        return Mode64Bit | ModeNoTray;
    return 0;
}

int RunUninstall(const RunOptions& options) {
    CloseHelpWindow();
    uint32_t scheduled = 0;
    bool errors = UninstallCommand(options, scheduled);
    return errors ? ExitErrors : scheduled ? ExitRestart : ExitUninstalled;
}

// Stops and unregisters the tray program but keeps the file the package ships.
void StopShippedTray() {
    WideString dir = ModuleDirectory();
    StopOurTray(dir, TrayFile::Keep, nullptr);
    Release(dir);
}

// The verbs that change the machine; the probes only read it.
bool ChangesMachine(const WCHAR* verb) {
    return InstallMode(verb) != 0 || VerbIs(verb, W("un")) || VerbIs(verb, W("uninstall")) ||
           VerbIs(verb, W("onInit")) || VerbIs(verb, W("removetray")) ||
           TextEqual(verb, W("def.set"));
}

int RunVerb(const RunOptions& options) {
    const WCHAR* verb = options.Verb;
    uint32_t mode = InstallMode(verb);
    if (VerbIs(verb, W("onChkDrv")))
        return ProbeDriverBuild() ? ExitDriverCurrent : ExitProbeNo;
    if (VerbIs(verb, W("onInit"))) {
        if (ProbePendingComponents())
            return ExitRestartFirst;
        return ProbeDefaultPrinter() ? ExitDefaultNotOurs : ExitProbeNo;
    }
    if (VerbIs(verb, W("un")) || VerbIs(verb, W("uninstall")))
        return RunUninstall(options);
    if (VerbIs(verb, W("removetray"))) {
        StopShippedTray();
        return ExitNothing;
    }
    if (mode != 0)
        return InstallCommand(options, mode);
    if (TextEqual(verb, W("def.set"))) {
        MakeOurPrinterDefault();
        return ExitDefaultSet;
    }
    return ExitNothing;
}

// The log of an install or uninstall: into its file when one was asked for,
// then on screen when an error was logged or Shift is held, unless /quiet.
// The run is done by then: the next installer need not wait for a person.
void ReportLog(InstallContext& context, const RunOptions& options) {
    if (options.Lock)
        LetOtherInstallersRun(*options.Lock);
    if (options.LogHandle != INVALID_HANDLE_VALUE)
        WriteLogFile(context, options.LogHandle, options.Verb);
    if (!options.Quiet && (context.ErrorCount != 0 || ShiftHeld()))
        ShowLogDialog(context, options.Owner);
}

// The verbs that keep a log (and write it to a /log file).
bool KeepsLog(const WCHAR* verb) {
    return InstallMode(verb) != 0 || VerbIs(verb, W("un")) || VerbIs(verb, W("uninstall"));
}

// A run refused before it changed anything. Its log holds the first line and
// the reason, and is written and shown as any run's; the verbs without a log
// only end with the code.
int RefuseRun(const RunOptions& options, int code, const Refusal& refusal) {
    if (!KeepsLog(options.Verb))
        return code;
    InstallContext context = {};
    LogLine(context, W("Kestrovane %d"), BuildNumber);
    if (refusal.Number == ErrLockTimeout)
        LogError(context, ErrLockTimeout, ERROR_SUCCESS,
                 static_cast<int32_t>(InstallersLockWait / 1000));
    else
        LogError(context, refusal.Number, refusal.Code,
                 Length(refusal.Subject) > 0 ? Text(refusal.Subject) : W(""), refusal.Account);
    ReportLog(context, options);
    FreeContext(context);
    return code;
}

// The package checked and held open, the lock taken: only then does the verb
// run. Either refused, nothing has changed.
int GuardedRun(RunOptions& options) {
    Refusal refusal;
    PackageFiles package = {};
    InstallersLock lock;
    uint32_t mode = InstallMode(options.Verb);
    int code = ExitNothing;
    if (mode != 0 && !TakePackage(mode, !options.NoPackageCheck, package, refusal)) {
        code = RefuseRun(options, ExitErrors, refusal);
    } else if (!TakeInstallersLock(lock, refusal)) {
        code = RefuseRun(options, ExitLockBusy, refusal);
    } else {
        options.Package = mode != 0 ? &package : nullptr;
        options.Lock = &lock;
        code = RunVerb(options);
        LetOtherInstallersRun(lock);
    }
    ReleasePackage(package);
    Release(refusal.Subject);
    return code;
}

int Dispatch(int argc, LPWSTR* argv) {
    RunOptions options;
    if (argc < 2 || !TakeOptions(argc, argv, options))
        return ExitNothing;
    options.Owner = OwnerWindow(argc, argv);
    options.Verb = argv[1];
    if (!ChangesMachine(options.Verb))
        return RunVerb(options);
    // A log file that will not do is known before the machine is touched.
    if (KeepsLog(options.Verb) && options.LogFile &&
        (options.LogHandle = OpenLogFile(options.LogFile)) == INVALID_HANDLE_VALUE)
        return ExitNothing;
    int code = GuardedRun(options);
    if (options.LogHandle != INVALID_HANDLE_VALUE)
        CloseHandle(options.LogHandle);
    return code;
}

} // namespace

void CloseHelpWindow() {
    for (int i = 0; i < HelpWindowLooks; ++i) {
        HWND help = FindWindowW(W("HH Parent"), W("Kestrovane Help"));
        if (!help)
            return;
        PostMessageW(help, WM_SYSCOMMAND, SC_CLOSE, 0);
        Sleep(50);
    }
}

int InstallCommand(const RunOptions& options, uint32_t mode) {
    CloseHelpWindow();
    InstallContext context;
    InitContext(context, mode);
    context.Package = options.Package;
    if (options.NoPackageCheck)
        LogLine(context, W("Package folder not checked (/nopackagecheck)"));
    LogLine(context, W(">>0010"));
    ReInstall(context);
    uint32_t scheduled = ScheduleDeferredDeletes(context);
    ReportLog(context, options);
    LogLine(context, W(">>0020"));
    bool errors = context.ErrorCount != 0;
    FreeContext(context);
    return errors ? ExitErrors : scheduled ? ExitRestart : ExitInstalled;
}

bool UninstallCommand(const RunOptions& options, uint32_t& scheduled) {
    InstallContext context;
    InitContext(context, Mode64Bit);
    // A file of ours already queued (by the spooler: a driver file it had
    // loaded) waits for the restart as much as one queued here.
    bool waits = CompleteUnInstall(context);
    scheduled = ScheduleDeferredDeletes(context) + (waits ? 1 : 0);
    ReportLog(context, options);
    bool errors = context.ErrorCount != 0;
    FreeContext(context);
    return errors;
}

int RunInstaller(HINSTANCE instance) {
    ModuleInstance = instance;
    // Before any DLL is loaded on demand: from the system directory only,
    // never from the folder a setup started us in. Without that, nothing runs.
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return ExitNothing;
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv)
        return ExitNothing; // no arguments to be read: as good as no verb
    int code = Dispatch(argc, argv);
    LocalFree(argv);
    return code;
}
