#!/usr/bin/env bash
# What a run must not harm, through Wine's real spooler and registry, on one
# machine whose wineserver keeps running (a new one would carry out the
# pending operations, as a restart does):
#   - an earlier uninstall queued the monitor DLL for deletion; Wine's spooler
#     never holds the DLL: the reinstall keeps the monitor and its DLL, and
#     takes the deletion back;
#   - another program queued a deletion and a replacement (delete X, then
#     rename X.new onto X): its files and operations stay as they are;
#   - removetray and in_notray stop and unregister the tray program but keep
#     the file the package ships, also when the installer is started through
#     its 8.3 path; an install without that file says so (error 10);
#   - a setup program queued the tray program's deletion and copied the new
#     one to the same place: the install takes the deletion back and starts it;
#   - an uninstall whose kestray.exe another program holds open queues it for
#     the restart and exits 101.
# Wine has one session and one account: stopping and starting the tray
# program in other sessions, or as another user, is the simulated machine's
# to show (tests/sweep).
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
RUN_KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
SESSION='HKLM\System\CurrentControlSet\Control\Session Manager'
TRAY='C:\Program Files\Kestrovane\kestray.exe'
MONITOR='C:\windows\system32\ksvmon64.dll'

run_value() { ksv_reg_value "$RUN_KEY" KestrovaneTray || echo '(none)'; }
pending() { ksv_reg_value "$SESSION" PendingFileRenameOperations || echo '(none)'; }
present() { [[ -e "$(ksv_unix_path "$1")" ]] && echo present || echo gone; }
content() { cat "$(ksv_unix_path "$1")" 2>/dev/null || echo '(gone)'; }
probe() { wine "$KSV_TOOLS/renames_probe.exe" "$@" | tr -d '\r'; }
tray_state() { wine "$KSV_TOOLS/ksvops.exe" traystate >"$KSV_SCRATCH/ops.out" 2>&1; tr -d '\r' <"$KSV_SCRATCH/ops.out"; }

# Polls until the tray program holds its mutex and shows its window.
expect_tray_running() {
    local state i
    for ((i = 0; i < 60; i++)); do
        state=$(tray_state)
        [[ $state == 'traystate|mutex=yes|window=yes' ]] && break
        sleep 0.5
    done
    ksv_expect_eq "$state" 'traystate|mutex=yes|window=yes' "tray program running ($1)"
}

# A reinstall without an error: exit code 1, no dialog.
reinstall() { # verb
    ksv_run_with_dialog "$1"
    ksv_expect_eq "$KSV_RC" 1 "exit code of $1"
    ksv_expect_eq "$KSV_DIALOG_SHOWN" 0 "no error log for $1"
}

ksv_new_prefix
ksv_place_package
ksv_start_xvfb

ksv_run_with_dialog install
ksv_expect_eq "$KSV_RC" 1 "exit code of the first install"

# --- queued: our DLL, another program's deletion and replacement -------------
other=$(ksv_unix_path 'C:\Other')
mkdir -p "$other"
printf plain >"$other/plain.tmp"
printf 'old app' >"$other/app.dll"
printf 'new app' >"$other/app.dll.new"
probe 'C:\Other\plain.tmp' "$MONITOR" 'C:\Other\app.dll' 'C:\Other\app.dll.new>>C:\Other\app.dll' \
    >/dev/null
queued=$(pending)
ksv_note "queued: $queued"
ksv_expect_contains "$queued" 'ksvmon64.dll' "our DLL queued for deletion"

reinstall install
ksv_expect_eq "$(present "$MONITOR")" present "the kept monitor's DLL"
ksv_expect_eq "$(ksv_monitors | grep -xF 'Kestrovane:' || true)" 'Kestrovane:' "monitor registered"
ksv_expect_eq "$(content 'C:\Other\plain.tmp')" plain "the other program's queued deletion"
ksv_expect_eq "$(content 'C:\Other\app.dll')" 'old app' "the file it replaces at restart"
ksv_expect_eq "$(content 'C:\Other\app.dll.new')" 'new app' "its replacement"
left=$(pending)
ksv_expect_lacks "$left" 'ksvmon64.dll' "nothing of ours queued"
ksv_expect_eq "$left" \
    '\??\C:\Other\plain.tmp\0\0\??\C:\Other\app.dll\0\0\??\C:\Other\app.dll.new\0!\??\C:\Other\app.dll' \
    "the other program's operations as they were"

# --- the tray program the package ships stays --------------------------------
ksv_run_with_dialog removetray
ksv_expect_eq "$KSV_RC" 6 "exit code of removetray"
ksv_expect_eq "$(run_value)" '(none)' "Run value removed by removetray"
ksv_expect_eq "$(present "$TRAY")" present "removetray keeps the shipped tray program"

reinstall in_notray
ksv_expect_eq "$(run_value)" '(none)' "in_notray registers no tray program"
ksv_expect_eq "$(present "$TRAY")" present "in_notray keeps the shipped tray program"

# The same installer through its 8.3 path: the Run value names the long one.
printf '@for %%%%I in ("%s") do @echo %%%%~sI\r\n' "$KSV_INSTALLER" >"$KSV_SCRATCH/short.bat"
short=$(wine cmd /c "$(ksv_win_path "$KSV_SCRATCH/short.bat")" | tr -d '\r')
ksv_note "8.3 path: $short"
reinstall install
ksv_expect_eq "$(run_value)" "\"$TRAY\"" "tray program registered again"
KSV_INSTALLER=$short ksv_run_with_dialog removetray
ksv_expect_eq "$KSV_RC" 6 "exit code of removetray through $short"
ksv_expect_eq "$(present "$TRAY")" present "kept when started through the 8.3 path"

# --- a setup program replaced the tray program --------------------------------
# As NSIS's "Delete /REBOOTOK" does for a file in use: the old one is queued
# for deletion at the restart, then the new one is copied to the same place.
ksv_run_with_dialog removetray
probe "$TRAY" >/dev/null
ksv_expect_contains "$(pending)" 'kestray.exe' "the tray program queued for deletion"
cp "$KSV_DIST/kestray.exe" "$(ksv_unix_path "$TRAY")"
ksv_run_with_dialog install /log 'C:\k.log'
ksv_expect_eq "$KSV_RC" 1 "exit code of the install over the queued deletion"
ksv_expect_eq "$(present "$TRAY")" present "the tray program the install registered"
ksv_expect_lacks "$(pending)" 'kestray.exe' "its queued deletion taken back"
ksv_expect_contains "$(tr -d '\r' <"$(ksv_unix_path 'C:\k.log')")" \
    "Pending deletion cancelled: $TRAY" "the log says so"
expect_tray_running "after the install"
reinstall install
ksv_expect_eq "$(present "$TRAY")" present "and after the next install"

# --- an uninstall that cannot delete the tray program --------------------------
# Another program holds kestray.exe open: the file waits for the restart.
hold=$KSV_SCRATCH/hold.out
wine "$KSV_TOOLS/ksvops.exe" hold "$TRAY" 60000 >"$hold" 2>&1 &
holder=$!
for ((i = 0; i < 60; i++)); do
    grep -q 'hold|' "$hold" 2>/dev/null && break
    sleep 0.5
done
ksv_expect_eq "$(tr -d '\r' <"$hold")" 'hold|ok' "kestray.exe held open"
ksv_run_with_dialog uninstall
ksv_expect_eq "$KSV_RC" 101 "exit code of an uninstall that leaves kestray.exe to the restart"
ksv_expect_eq "$(present "$TRAY")" present "kestray.exe still there"
ksv_expect_contains "$(pending)" "\\??\\$TRAY" "kestray.exe queued for deletion"
kill "$holder" 2>/dev/null || true
wait "$holder" 2>/dev/null || true
ksv_run_with_dialog install
ksv_expect_eq "$KSV_RC" 1 "exit code of the install after it"
ksv_expect_lacks "$(pending)" 'kestray.exe' "the install takes the deletion back"

# --- an install without the tray program says so -------------------------------
rm "$(ksv_unix_path "$TRAY")"
ksv_run_with_dialog install
ksv_expect_eq "$KSV_RC" 100 "exit code of an install without the tray program"
ksv_expect_contains "$KSV_DIALOG_TEXT" \
    "Error(10): Cant't open source file: $TRAY - (File not found.)" "missing tray program reported"
ksv_expect_eq "$(run_value)" '(none)' "nothing registered"
ksv_done
