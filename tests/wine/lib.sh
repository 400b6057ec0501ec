# Shell library of the Wine end-to-end tests (bash; source it, don't run it).
#
# Every test gets a prefix of its own, copied from the template that this test
# run booted once, with its own wineserver, and the package placed as a user
# would place it: C:\Program Files\Kestrovane\setup\ksvinstall.exe with the rest
# of dist/Kestrovane/ in C:\Program Files\Kestrovane\.
#
# Environment (ctest sets it; set it by hand to run a test script alone):
#   KSV_DIST           the built package folder, .../dist/Kestrovane
#   KSV_TOOLS          the Windows test programs, .../dist/tests (logreader.exe)
#   KSV_WINE_TEMPLATE  the booted template prefix (see ksv_make_template)
#   KSV_WINE_WORK      where the test's own prefix goes (default: a temp dir)
#   KSV_ARTIFACTS      where screenshots are kept (default: the current dir)
#   KSV_KEEP_PREFIX=1  leave the test's prefix behind for a look
#
# A test script looks like:
#   source "$(dirname "$0")/lib.sh"
#   ksv_new_prefix && ksv_place_package
#   ksv_run install;  ksv_expect_eq "$KSV_RC" 1 "exit code of install"
#   ksv_done

# shellcheck disable=SC2034 # the variables set here are the tests' to read
KSV_INSTALLER='C:\Program Files\Kestrovane\setup\ksvinstall.exe'
KSV_RUN_TIMEOUT=${KSV_RUN_TIMEOUT:-120}
KSV_PRINT_KEY='HKLM\System\CurrentControlSet\Control\Print'
KSV_FAILURES=0
KSV_XVFB_PID=
KSV_SHIFT_HELD=0
KSV_READER_PID=
KSV_SCRATCH=
KSV_SERVER_LINGER=60 # seconds a test's wineserver outlives its last Wine process

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# Headless unless a test starts its own X server (ksv_start_xvfb).
unset DISPLAY

ksv_note() { printf '[%s] %s\n' "$(date +%T)" "$*" >&2; }

# --- checks --------------------------------------------------------------------

ksv_fail() {
    KSV_FAILURES=$((KSV_FAILURES + 1))
    printf 'FAIL: %s\n' "$*" >&2
}

ksv_expect_eq() { # actual expected description
    if [[ "$1" == "$2" ]]; then
        if [[ "$1" == *$'\n'* ]]; then
            ksv_note "ok: $3"
        else
            ksv_note "ok: $3 ($1)"
        fi
    else
        ksv_fail "$3: got '$1', expected '$2'"
    fi
}

ksv_expect_contains() { # text needle description
    if [[ "$1" == *"$2"* ]]; then
        ksv_note "ok: $3"
    else
        ksv_fail "$3: '$2' not found in:"$'\n'"$1"
    fi
}

ksv_expect_lacks() { # text needle description
    if [[ "$1" != *"$2"* ]]; then
        ksv_note "ok: $3"
    else
        ksv_fail "$3: '$2' should not be in:"$'\n'"$1"
    fi
}

# A log as the dialog shows it, against the expected lines written with plain
# line ends: the same lines, each ending in CR LF, the last one too. A
# mismatch is shown as a diff.
ksv_expect_log() { # text expected description
    local cr=$'\r'
    local plain=${1//$cr$'\n'/$'\n'} bare=${1//$cr$'\n'/}
    if [[ "$bare" == *[$'\r\n']* ]]; then
        ksv_fail "$3: a line end other than CR LF in:"$'\n'"$(printf '%s' "$1" | cat -A)"
    elif [[ "$plain" == "$2"$'\n' ]]; then
        ksv_note "ok: $3"
    else
        ksv_fail "$3 (- expected, + shown):"$'\n'"$(diff -u <(printf '%s\n' "$2") \
            <(printf '%s' "$plain") | tail -n +3)"
    fi
}

# Ends the test: exit status 0 only when no check failed.
ksv_done() {
    if ((KSV_FAILURES > 0)); then
        ksv_note "$KSV_FAILURES check(s) failed"
        exit 1
    fi
    ksv_note "all checks passed"
    exit 0
}

# ctest ends a test that runs too long with SIGTERM: clean up then as well.
ksv__trap_cleanup() {
    trap ksv_cleanup EXIT
    trap 'exit 143' TERM
    trap 'exit 130' INT
}

# --- prefixes ------------------------------------------------------------------

# Boots a fresh prefix into DIR with no display and waits until its wineserver
# has written everything out, so that it can be copied.
ksv_make_template() { # dir
    local dir=$1
    rm -rf "$dir"
    mkdir -p "$(dirname "$dir")"
    ksv_note "booting template prefix $dir"
    WINEPREFIX=$dir timeout 300 wineboot -i >/dev/null 2>&1 || {
        ksv_fail "wineboot -i failed in $dir"
        return 1
    }
    WINEPREFIX=$dir timeout 120 wineserver -w
    [[ -d "$dir/drive_c/windows/system32" ]] || {
        ksv_fail "template $dir has no system32"
        return 1
    }
    ksv_note "template ready"
}

# Copies the template into a prefix of this test's own and starts its
# wineserver, kept alive between runs so that service state (the spooler)
# lasts from one run to the next as on a machine that keeps running.
# ksv_cleanup ends it; a test that was killed leaves one that ends by itself
# after a minute without Wine processes.
ksv_new_prefix() {
    [[ -n "${KSV_WINE_TEMPLATE:-}" && -d "$KSV_WINE_TEMPLATE/drive_c" ]] || {
        ksv_fail "no template prefix (KSV_WINE_TEMPLATE=${KSV_WINE_TEMPLATE:-})"
        exit 1
    }
    local work=${KSV_WINE_WORK:-${TMPDIR:-/tmp}}
    mkdir -p "$work"
    KSV_SCRATCH=$(mktemp -d "$work/ksv-test.XXXXXX")
    ksv__trap_cleanup
    export WINEPREFIX=$KSV_SCRATCH/prefix
    cp -a "$KSV_WINE_TEMPLATE" "$WINEPREFIX"
    wineserver -p"$KSV_SERVER_LINGER"
    ksv_note "prefix $WINEPREFIX"
}

# Boots a prefix of its own instead of copying the template: for one-off
# runs (scripts/demo.sh) that have no template.
ksv_fresh_prefix() {
    local work=${KSV_WINE_WORK:-${TMPDIR:-/tmp}}
    mkdir -p "$work"
    KSV_SCRATCH=$(mktemp -d "$work/ksv-run.XXXXXX")
    ksv__trap_cleanup
    export WINEPREFIX=$KSV_SCRATCH/prefix
    ksv_make_template "$WINEPREFIX" || exit 1
    wineserver -p"$KSV_SERVER_LINGER"
}

# The unix path of a path on drive C: of the test's prefix.
ksv_unix_path() { # 'C:\dir\file'
    local rest=${1#[Cc]:}
    printf '%s/drive_c%s\n' "$WINEPREFIX" "${rest//\\//}"
}

# The Windows path (through drive Z:) of a unix path.
ksv_win_path() { # /unix/path
    local p=$1
    printf 'Z:%s\n' "${p//\//\\}"
}

# Places the package as a user would: the whole of dist/Kestrovane/ in
# C:\Program Files\Kestrovane\, so the installer lies in its setup\ folder.
ksv_place_package() {
    local target
    target=$(ksv_unix_path 'C:\Program Files\Kestrovane')
    [[ -f "$KSV_DIST/setup/ksvinstall.exe" ]] || {
        ksv_fail "no package at $KSV_DIST"
        exit 1
    }
    mkdir -p "$target"
    cp -a "$KSV_DIST/." "$target/"
}

# --- running ---------------------------------------------------------------------

# Runs the installer with the given arguments and waits for it, at most
# KSV_RUN_TIMEOUT seconds. Sets KSV_RC (124: it had to be killed); its output
# goes to $KSV_SCRATCH/run.out and run.err.
ksv_run() {
    KSV_RC=0
    timeout -k 5 "$KSV_RUN_TIMEOUT" wine "$KSV_INSTALLER" "$@" \
        >"$KSV_SCRATCH/run.out" 2>"$KSV_SCRATCH/run.err" || KSV_RC=$?
    ksv_note "ksvinstall $* -> $KSV_RC"
    if ((KSV_RC == 124)); then
        ksv_fail "ksvinstall $* did not end within ${KSV_RUN_TIMEOUT}s"
    fi
}

# Starts an X server of this test's own (a free display number) and exports
# DISPLAY for the Wine processes that follow. Wine makes its desktop once per
# wineserver, with the display it had then: a wineserver that ran headless
# never shows a window. So the prefix's wineserver is started again here,
# which, like a restart of the machine, also starts the services anew.
ksv_start_xvfb() {
    local fd_file=$KSV_SCRATCH/xvfb.display
    Xvfb -displayfd 9 -screen 0 1280x1024x24 -nolisten tcp 9>"$fd_file" \
        >"$KSV_SCRATCH/xvfb.log" 2>&1 &
    KSV_XVFB_PID=$!
    local i
    for ((i = 0; i < 100; i++)); do
        [[ -s "$fd_file" ]] && break
        sleep 0.1
    done
    [[ -s "$fd_file" ]] || {
        ksv_fail "Xvfb did not start: $(cat "$KSV_SCRATCH/xvfb.log")"
        exit 1
    }
    DISPLAY=:$(head -n1 "$fd_file")
    export DISPLAY
    ksv_note "Xvfb on $DISPLAY"
    ksv_restart_wineserver
}

# Ends every Wine process of the prefix and its wineserver, and starts a new
# one: services (the spooler) start again from their configuration, and the
# registry changes made meanwhile hold for them.
ksv_restart_wineserver() {
    wineserver -k 2>/dev/null || true
    timeout 30 wineserver -w 2>/dev/null || true
    wineserver -p"$KSV_SERVER_LINGER"
}

ksv_screenshot() { # file.png
    mkdir -p "$(dirname "$1")"
    import -window root "$1" && ksv_note "screenshot $1"
}

# Waits until FILE holds a line containing TEXT; false after SECONDS.
ksv_wait_for_line() { # file text seconds
    local i
    for ((i = 0; i < $3 * 10; i++)); do
        grep -qF -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

# Holds Shift down so that Wine reports it to every process. Wine sees a key
# only while the pointer rests on one of its windows, so the log reader opens
# a window over the whole screen first; the press is repeated until the
# reader confirms that Wine sees it.
ksv__hold_shift() { # reader's stderr file
    local err=$1 attempt
    ksv_wait_for_line "$err" "cover up" 30 || return 1
    timeout 10 xdotool search --sync --onlyvisible --name ksv-logreader-cover >/dev/null 2>&1 || true
    for ((attempt = 0; attempt < 10; attempt++)); do
        xdotool mousemove 640 512
        sleep 0.2
        xdotool keydown shift
        KSV_SHIFT_HELD=1
        ksv_wait_for_line "$err" "shift down" 2 && return 0
        ksv_note "Wine did not see Shift yet; pressing it again"
        xdotool keyup shift
        KSV_SHIFT_HELD=0
    done
    return 1
}

ksv__release_shift() {
    if ((KSV_SHIFT_HELD)); then
        xdotool keyup shift || true
        KSV_SHIFT_HELD=0
    fi
}

# Runs the installer under the test's X server with the log reader watching
# for the log dialog.
#   ksv_run_with_dialog [--shift] [--screenshot file.png] [--] args...
#     --shift       hold Shift while the installer runs (shows the log of an
#                   error-free run)
#     --screenshot  take a picture of the screen while the dialog is open
# Sets KSV_RC, KSV_DIALOG_SHOWN (1/0), KSV_DIALOG_TITLE and KSV_DIALOG_TEXT
# (the edit field's text exactly, CR LF line ends; bash drops NUL only).
# Starts Xvfb first when no display is set.
ksv_run_with_dialog() {
    local with_shift=0 shot='' reader_rc=0
    while (($#)); do
        case $1 in
        --shift) with_shift=1 ;;
        --screenshot)
            shot=$2
            shift
            ;;
        --) shift && break ;;
        *) break ;;
        esac
        shift
    done
    [[ -n "${DISPLAY:-}" ]] || ksv_start_xvfb
    KSV_DIALOG_SHOWN=0
    KSV_DIALOG_TITLE=
    KSV_DIALOG_TEXT=
    local out=$KSV_SCRATCH/reader.out err=$KSV_SCRATCH/reader.err hold=$KSV_SCRATCH/reader.hold
    rm -f "$out" "$err" "$hold"
    local args=(--hold "$(ksv_win_path "$hold")" --timeout $((KSV_RUN_TIMEOUT * 1000)))
    ((with_shift)) && args+=(--cover)
    wine "$KSV_TOOLS/logreader.exe" "${args[@]}" >"$out" 2>"$err" &
    KSV_READER_PID=$!
    if ((with_shift)) && ! ksv__hold_shift "$err"; then
        ksv_fail "Wine never saw Shift held: $(cat "$err")"
        ksv__release_shift
        return 1
    fi

    timeout -k 5 "$KSV_RUN_TIMEOUT" wine "$KSV_INSTALLER" "$@" \
        >"$KSV_SCRATCH/run.out" 2>"$KSV_SCRATCH/run.err" &
    local installer=$!
    # The dialog holds the installer until it is closed; an installer that
    # ends first showed none.
    while kill -0 "$installer" 2>/dev/null; do
        if grep -qF "logreader: shown" "$err" 2>/dev/null; then
            KSV_DIALOG_SHOWN=1
            break
        fi
        kill -0 "$KSV_READER_PID" 2>/dev/null || break
        sleep 0.1
    done
    if ((KSV_DIALOG_SHOWN)); then
        [[ -n "$shot" ]] && ksv_screenshot "$shot"
        ksv__release_shift
        touch "$hold"
        wait "$KSV_READER_PID" || reader_rc=$?
        ((reader_rc == 0)) || ksv_fail "log reader ended with $reader_rc: $(cat "$err")"
        KSV_DIALOG_TITLE=$(head -n1 "$out")
        KSV_DIALOG_TEXT=$(tail -n +2 "$out"; printf x)
        KSV_DIALOG_TEXT=${KSV_DIALOG_TEXT%x}
    else
        ksv__release_shift
        kill "$KSV_READER_PID" 2>/dev/null || true
        wait "$KSV_READER_PID" 2>/dev/null || true
    fi
    KSV_READER_PID=
    KSV_RC=0
    wait "$installer" || KSV_RC=$?
    ksv_note "ksvinstall $* -> $KSV_RC (dialog shown: $KSV_DIALOG_SHOWN)"
    if ((KSV_RC == 124)); then
        ksv_fail "ksvinstall $* did not end within ${KSV_RUN_TIMEOUT}s"
    fi
}

# --- the machine's state ---------------------------------------------------------

# `reg query` with its CR LF line ends made plain; fails as it does (a key
# or value that is not there).
ksv_reg_query() { # key [reg query options...]
    local listing try
    # On a loaded machine `wine reg` now and then fails to start and reports
    # nothing: a missing key or value is asked for up to three times.
    for try in 1 2 3; do
        listing=$(wine reg query "$@" 2>/dev/null) && break
        ((try < 3)) || return 1
    done
    printf '%s\n' "${listing//$'\r'/}"
}

# The data of one value, or nothing (status 1) when it is not there.
# Not `ksv_reg_query | grep -m1`: bash writes the listing line by line, and a
# grep that has already ended makes the last write fail (SIGPIPE); under
# pipefail and load, a value that is there then read as missing.
ksv_reg_value() { # key name
    local listing line
    listing=$(ksv_reg_query "$1" /v "$2") || return 1
    line=$(grep -m1 -F "    $2    REG_" <<<"$listing") || return 1
    line=${line#*"    $2    "}
    line=${line#REG_* }
    printf '%s\n' "${line#"${line%%[! ]*}"}"
}

# The names of a key's direct subkeys, one a line: the listed keys one level
# deeper than the key asked for.
ksv_reg_subkeys() { # key
    local depth=${1//[!\\]/} listing sub level
    listing=$(ksv_reg_query "$1") || return 0
    while IFS= read -r sub; do
        [[ "$sub" == HKEY_* ]] || continue
        level=${sub//[!\\]/}
        if ((${#level} == ${#depth} + 1)); then
            printf '%s\n' "${sub##*\\}"
        fi
    done <<<"$listing"
}

ksv_monitors() { ksv_reg_subkeys "$KSV_PRINT_KEY\\Monitors"; }
ksv_drivers() { ksv_reg_subkeys "$KSV_PRINT_KEY\\Environments\\Windows x64\\Drivers\\Version-3"; }
ksv_printers() { ksv_reg_subkeys "$KSV_PRINT_KEY\\Printers"; }

# The spooler service's state as `sc query` names it (RUNNING, STOPPED, ...).
ksv_spooler_state() {
    wine sc query spooler 2>/dev/null | tr -d '\r' | sed -n 's/^ *STATE *: [0-9]* *\([A-Z_]*\).*/\1/p'
}

# --- the end of a test ------------------------------------------------------------

ksv_cleanup() {
    ksv__release_shift
    if [[ -n "$KSV_READER_PID" ]]; then
        kill "$KSV_READER_PID" 2>/dev/null || true
    fi
    if [[ -n "${WINEPREFIX:-}" ]]; then
        wineserver -k 2>/dev/null || true
        timeout 30 wineserver -w 2>/dev/null || true
    fi
    if [[ -n "$KSV_XVFB_PID" ]]; then
        kill "$KSV_XVFB_PID" 2>/dev/null || true
        wait "$KSV_XVFB_PID" 2>/dev/null || true
    fi
    if [[ -n "$KSV_SCRATCH" ]]; then
        if [[ "${KSV_KEEP_PREFIX:-0}" == 1 ]]; then
            ksv_note "kept $KSV_SCRATCH"
        else
            rm -rf "$KSV_SCRATCH"
        fi
    fi
}
