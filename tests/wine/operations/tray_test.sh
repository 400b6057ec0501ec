#!/usr/bin/env bash
# The tray program under Wine with an X server. RegisterTray writes the
# quoted path into the Run value and starts kestray.exe; StopTray makes it end
# at the first request (well within one 5000 ms wait), deletes the file that
# the Run value names and removes the value. A reinstall that starts the tray
# program again from the same place keeps the file.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
OPS=$KSV_TOOLS/ksvops.exe
RUN_KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
TRAY='C:\Program Files\Kestrovane\kestray.exe'
# Without the trailing backslash: the command line would read it as escaping
# the closing quote. The tray path comes out the same.
SETUP_DIR='C:\Program Files\Kestrovane\setup'

# Output through a file, not a pipe: the tray program that an operation starts
# inherits the Unix end of the pipe and would hold the reader for ever.
ops() {
    local rc=0
    wine "$OPS" "$@" >"$KSV_SCRATCH/ops.out" 2>"$KSV_SCRATCH/ops.err" || rc=$?
    tr -d '\r' <"$KSV_SCRATCH/ops.out"
    return $rc
}
run_value() { ksv_reg_value "$RUN_KEY" KestrovaneTray || echo '(none)'; }
tray_file() { [[ -e "$(ksv_unix_path "$TRAY")" ]] && echo present || echo gone; }

# Polls until the tray program holds its mutex and shows its window.
wait_for_tray() {
    local state i
    for ((i = 0; i < 60; i++)); do
        state=$(ops traystate)
        [[ $state == 'traystate|mutex=yes|window=yes' ]] && break
        sleep 0.5
    done
    ksv_expect_eq "$state" 'traystate|mutex=yes|window=yes' "tray program running ($1)"
}

# StopTray (keep or delete); the tray program must have quit at the first request.
stop_tray() {
    local out ms
    out=$(ops stoptray "$TRAY" "$1")
    ms=${out#*ms=}
    ksv_note "StopTray took $ms ms"
    ksv_expect_eq "$((ms < 5000))" 1 "tray program quit at the first request"
    ksv_expect_eq "$(ops traystate)" 'traystate|mutex=no|window=no' "tray program ended"
}

ksv_new_prefix
ksv_place_package
ksv_start_xvfb

ops registertray "$SETUP_DIR" >/dev/null
ksv_expect_eq "$(run_value)" "\"$TRAY\"" "Run value after RegisterTray"
wait_for_tray "started by RegisterTray"

# A reinstall from the installed place: the file it starts again stays.
stop_tray keep
ksv_expect_eq "$(tray_file)" present "tray program kept for the reinstall"
ksv_expect_eq "$(run_value)" '(none)' "Run value removed"
ops registertray "$SETUP_DIR" >/dev/null
wait_for_tray "started again"

# An uninstall: the file goes with the value.
stop_tray delete
ksv_expect_eq "$(tray_file)" gone "tray program deleted"
ksv_expect_eq "$(run_value)" '(none)' "Run value removed"
ksv_done
