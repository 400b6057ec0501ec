#!/usr/bin/env bash
# What each verb of ksvinstall costs under Wine, next to a floor: the wall time
# of a clean install, an install over the same build (a reinstall) and an
# uninstall of the real package, beside ksvfloor.exe (tests/wine/floor/),
# which makes only the spooler calls and file copies those verbs need. A
# benchmark to run by hand, not a test: it prints a table of medians.
#
#   scripts/bench-wine.sh [-n repetitions] [-q queues] [--trace]
#
#   -n N     repetitions of each side (default 5); each repetition of each
#            side gets a fresh prefix copied from one template, the package
#            placed as the Wine tests place it, and runs install, install
#            again, uninstall, in that order
#   -q N     queues of ours that the reinstall and the uninstall meet (default
#            1): after the timed install, untimed, `ksvfloor queues N` gives
#            the install's queue and N - 1 more every field a user may set
#            (comment, location, SubKey, share, keep printed jobs, priorities,
#            hours, parameters, a landscape DEVMODE; the first the default);
#            the floor's reinstall gives all of them back the same way
#   --trace  afterwards, runs the three verbs of ksvinstall once more under
#            Wine's relay trace and lists the calls of the installer that
#            took 5 ms or more: where the time goes
#
# Environment: KSV_DIST (the package, default dist/Kestrovane) and KSV_TOOLS
# (default dist/tests, for ksvfloor.exe); both are built by
# `cmake --preset windows && cmake --build --preset windows`. KSV_WINE_TEMPLATE
# names a booted prefix to copy (as the Wine tests make it); without one, a
# template is booted here and removed at the end. About 40 s with 5
# repetitions on a quiet 2-core machine, 10 s of it booting the template;
# on a busy one the samples spread and it takes longer.
#
# What is and is not measured:
# - Headless, as lib.sh runs Wine: the tray program that install starts cannot
#   make its window and ends at once. Each timed run waits for the previous
#   one's tray program to be gone, so no run pays for a tray program that is
#   still starting. Output goes to files, never a pipe: a tray program would
#   inherit the pipe and hold its reader.
# - The prefix's wineserver is kept alive (lib.sh's `wineserver -p`) and the
#   spooler service is started before the first timed run, as on a running
#   machine. Wine starts its desktop process again for a program that follows
#   a pause of a second or more (about 70 ms); `ksvfloor hold` stays on the
#   desktop for the whole repetition so that no timed run pays for it.
# - The wall time of the whole process: Wine's process start is in both
#   columns. The first row shows it alone: ksvinstall with no verb (exit 6,
#   touches nothing) next to `ksvfloor noop`.
# - Wine's DeletePrinterDriverExW refuses DPD_DELETE_ALL_FILES (87); the
#   installer then asks once more with flag 0, as ksvfloor does at once, so
#   the reinstall and the uninstall exit 1 and 2 with no spooler restart.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

reps=5
queues=1
trace=0
while (($#)); do
    case $1 in
    -n)
        reps=${2:?-n needs a number}
        shift
        ;;
    -q)
        queues=${2:?-q needs a number}
        shift
        ;;
    --trace) trace=1 ;;
    *)
        sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
        exit 2
        ;;
    esac
    shift
done
[[ "$reps" =~ ^[1-9][0-9]*$ && "$queues" =~ ^[1-9][0-9]*$ ]] || {
    echo "repetitions and queues must be positive numbers: $reps, $queues" >&2
    exit 2
}

source "$root/tests/wine/lib.sh"
KSV_DIST=${KSV_DIST:-$root/dist/Kestrovane}
KSV_TOOLS=${KSV_TOOLS:-$root/dist/tests}
for needed in "$KSV_DIST/setup/ksvinstall.exe" "$KSV_TOOLS/ksvfloor.exe"; do
    [[ -f "$needed" ]] || {
        echo "missing $needed: build with cmake --preset windows && cmake --build --preset windows" >&2
        exit 1
    }
done

# Everything of this run lives in one folder, the package and the floor
# copied in first, so that a build running meanwhile cannot change them.
BENCH_WORK=$(mktemp -d "${TMPDIR:-/tmp}/ksv-bench.XXXXXX")
BENCH_HOLD_PID=
export KSV_WINE_WORK=$BENCH_WORK
cp -a "$KSV_DIST" "$BENCH_WORK/Kestrovane"
cp "$KSV_TOOLS/ksvfloor.exe" "$BENCH_WORK/"
export KSV_DIST=$BENCH_WORK/Kestrovane
FLOOR=$BENCH_WORK/ksvfloor.exe
SETUP_DIR='C:\Program Files\Kestrovane\setup'

bench_end_prefix() {
    if [[ -n "$BENCH_HOLD_PID" ]]; then
        kill "$BENCH_HOLD_PID" 2>/dev/null || true
        wait "$BENCH_HOLD_PID" 2>/dev/null || true
        BENCH_HOLD_PID=
    fi
    ksv_cleanup
    KSV_SCRATCH=
    unset WINEPREFIX
}

bench_cleanup() {
    bench_end_prefix
    rm -rf "$BENCH_WORK"
}
trap bench_cleanup EXIT

if [[ -n "${KSV_WINE_TEMPLATE:-}" && -d "$KSV_WINE_TEMPLATE/drive_c" ]]; then
    ksv_note "template $KSV_WINE_TEMPLATE"
else
    export KSV_WINE_TEMPLATE=$BENCH_WORK/template
    ksv_make_template "$KSV_WINE_TEMPLATE" || exit 1
fi

# A prefix of the template's kind with the package placed, its wineserver and
# spooler running, and ksvfloor holding the desktop.
bench_new_prefix() {
    ksv_new_prefix >/dev/null
    trap bench_cleanup EXIT
    ksv_place_package
    wine sc start spooler >/dev/null 2>&1 || true
    wine "$FLOOR" hold </dev/null >/dev/null 2>&1 &
    BENCH_HOLD_PID=$!
    # Both programs once, untimed: the first run of a program in a prefix
    # does work of its own that a setup program's run would not see again.
    wine "$KSV_INSTALLER" >/dev/null 2>&1 || true
    wine "$FLOOR" noop >/dev/null 2>&1
}

# Runs one program under Wine and times it: BENCH_MS, BENCH_RC; its output in
# $KSV_SCRATCH/run.out and run.err.
bench_time() { # program args...
    local start end
    BENCH_RC=0
    start=${EPOCHREALTIME/./}
    timeout -k 5 "$KSV_RUN_TIMEOUT" wine "$@" >"$KSV_SCRATCH/run.out" 2>"$KSV_SCRATCH/run.err" ||
        BENCH_RC=$?
    end=${EPOCHREALTIME/./}
    BENCH_MS=$(((end - start) / 1000))
}

# Waits until no tray program of this prefix runs any more (at most 10 s).
bench_wait_for_tray() {
    local i pid running
    for ((i = 0; i < 100; i++)); do
        running=0
        for pid in $(pgrep -f 'kestray\.exe' || true); do
            if tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
                running=1
            fi
        done
        ((running)) || return 0
        sleep 0.1
    done
    ksv_note "kestray.exe still runs after 10 s; the next StopTray waits for it"
}

# "monitor printer", each yes or no: are "Kestrovane:" and "Kestrovane" there?
bench_state() {
    local listing monitor=no printer=no
    listing=$(ksv_reg_query "$KSV_PRINT_KEY" /s) || true
    grep -qixF 'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Print\Monitors\Kestrovane:' \
        <<<"$listing" && monitor=yes
    grep -qixF 'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Print\Printers\Kestrovane' \
        <<<"$listing" && printer=yes
    echo "$monitor $printer"
}

bench_abort() {
    echo "bench-wine: $*" >&2
    echo "--- stdout" >&2
    cat "$KSV_SCRATCH/run.out" >&2 || true
    echo "--- stderr" >&2
    tail -n 20 "$KSV_SCRATCH/run.err" >&2 || true
    exit 1
}

declare -A SAMPLES=() EXITS=()

# One timed run; a run that did not do its job has no time worth keeping.
bench_verb() { # side row expected-exit-codes expected-state program args...
    local side=$1 row=$2 codes=$3 state=$4
    shift 4
    bench_time "$@"
    [[ " $codes " == *" $BENCH_RC "* ]] ||
        bench_abort "$side $row exited $BENCH_RC, expected one of: $codes"
    SAMPLES[$side.$row]+="$BENCH_MS "
    EXITS[$side.$row]+="$BENCH_RC "
    if [[ $side == ksvinstall ]]; then
        bench_wait_for_tray
    fi
    if [[ -n "$state" ]]; then
        local got
        got=$(bench_state)
        [[ "$got" == "$state" ]] ||
            bench_abort "$side $row left monitor/printer '$got', expected '$state'"
    fi
}

# The queues the reinstall and the uninstall meet, untimed.
bench_queues() {
    timeout -k 5 "$KSV_RUN_TIMEOUT" wine "$FLOOR" queues "$queues" >"$KSV_SCRATCH/run.out" \
        2>"$KSV_SCRATCH/run.err" || bench_abort "ksvfloor queues $queues failed"
}

bench_ksvinstall() {
    bench_new_prefix
    bench_verb ksvinstall start "6" "" "$KSV_INSTALLER"
    bench_verb ksvinstall install "1" "yes yes" "$KSV_INSTALLER" install
    bench_queues
    bench_verb ksvinstall reinstall "1" "yes yes" "$KSV_INSTALLER" install
    bench_verb ksvinstall uninstall "2" "no no" "$KSV_INSTALLER" uninstall
    bench_end_prefix
}

bench_floor() {
    bench_new_prefix
    bench_verb floor start "0" "" "$FLOOR" noop
    bench_verb floor install "0" "yes yes" "$FLOOR" install "$SETUP_DIR"
    bench_queues
    bench_verb floor reinstall "0" "yes yes" "$FLOOR" reinstall "$SETUP_DIR"
    bench_verb floor uninstall "0" "no no" "$FLOOR" uninstall
    bench_end_prefix
}

median() { # numbers...
    printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 }
        END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%d\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Where the installer's time goes: each verb once under the relay trace, and
# the calls made by ksvinstall.exe itself (the first process of the trace;
# return address in its image, based at 0x140000000) that took 5 ms or more,
# nested calls included. The tray program it starts is left out.
bench_trace() {
    bench_new_prefix
    local debug='HKCU\Software\Wine\Debug'
    # Only calls made from the installer are traced, so that the trace slows
    # the run as little as possible.
    local callers='ntdll;kernelbase;kernel32;advapi32;sechost;user32;gdi32;win32u;winspool;'
    callers+='localspl;spoolss;rpcrt4;ucrtbase;msvcrt;shell32;shlwapi;comctl32;combase;ole32;'
    callers+='compstui;version;imm32;uxtheme;shcore;setupapi;cfgmgr32;zlib1;ksvmon64;ksvui64;ksvdrv64'
    wine reg add "$debug" /v RelayFromExclude /d "$callers" /f >/dev/null 2>&1
    local verb i=0
    for verb in install install uninstall; do
        i=$((i + 1))
        local log=$BENCH_WORK/relay.$i
        local start=${EPOCHREALTIME/./} rc=0
        WINEDEBUG=+timestamp,+pid,+relay timeout -k 5 "$KSV_RUN_TIMEOUT" wine "$KSV_INSTALLER" "$verb" \
            >/dev/null 2>"$log" || rc=$?
        local ms=$(((${EPOCHREALTIME/./} - start) / 1000))
        bench_wait_for_tray
        echo
        echo "ksvinstall $verb (run $i, exit $rc, $ms ms under the trace):"
        python3 - "$log" <<'EOF'
import re, sys
head = re.compile(r'^([0-9.]+):([0-9a-f]+):([0-9a-f]+):(Call|Ret) +([^ (]+)\(')
caller = re.compile(r'ret=([0-9a-f]+)\s*$')
open_calls, done, sleeps, installer = {}, [], [], None
for line in open(sys.argv[1], errors='replace'):
    m, r = head.match(line), caller.search(line)
    if not m or not r or not 0x140000000 <= int(r.group(1), 16) < 0x150000000:
        continue
    installer = installer or m.group(2)
    if m.group(2) != installer:
        continue
    t, thread, kind, name = float(m.group(1)), m.group(3), m.group(4), m.group(5)
    key = (thread, name, r.group(1))
    if kind == 'Call':
        open_calls[key] = (t, line.split(':Call ', 1)[1].strip()[:110])
    elif key in open_calls:
        t0, text = open_calls.pop(key)
        done.append((t - t0, text))
        if name.endswith('.Sleep'):
            sleeps.append(t - t0)
done.sort(key=lambda d: -d[0])
print('  Sleep: %d call(s), %.0f ms' % (len(sleeps), sum(sleeps) * 1000))
for seconds, text in done:
    if seconds >= 0.005:
        print('  %6.0f ms  %s' % (seconds * 1000, text))
EOF
    done
    bench_end_prefix
}

for ((rep = 1; rep <= reps; rep++)); do
    ksv_note "repetition $rep of $reps"
    # Which side goes first alternates, so that a drift of the machine's load
    # falls on both.
    if ((rep % 2)); then
        bench_ksvinstall
        bench_floor
    else
        bench_floor
        bench_ksvinstall
    fi
done

echo
echo "$queues queue(s) of ours met by the reinstall and the uninstall"
printf '%-22s | %20s | %15s | %6s\n' verb 'ksvinstall median ms' 'floor median ms' ratio
printf '%s\n' '-----------------------+----------------------+-----------------+-------'
for row in start install reinstall uninstall; do
    case $row in
    start) label='start only' ;;
    install) label='install (clean)' ;;
    reinstall) label='reinstall' ;;
    uninstall) label='uninstall' ;;
    esac
    # shellcheck disable=SC2086 # the samples are a list of numbers
    ours=$(median ${SAMPLES[ksvinstall.$row]})
    # shellcheck disable=SC2086
    floor=$(median ${SAMPLES[floor.$row]})
    ratio=$(awk -v a="$ours" -v b="$floor" 'BEGIN { printf (b > 0 ? "%.1f" : "-"), a / b }')
    printf '%-22s | %20s | %15s | %6s\n' "$label" "$ours" "$floor" "$ratio"
done
echo
echo "samples in ms, $reps repetitions (ksvinstall / floor); ksvinstall's exit codes:"
for row in start install reinstall uninstall; do
    codes=$(tr ' ' '\n' <<<"${EXITS[ksvinstall.$row]}" | awk NF | sort -un | paste -sd, -)
    printf '  %-10s %s/ %s  exit %s\n' "$row" "${SAMPLES[ksvinstall.$row]}" \
        "${SAMPLES[floor.$row]}" "$codes"
done

if ((trace)); then
    bench_trace
fi
