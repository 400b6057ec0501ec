#!/usr/bin/env bash
# The installer's monitor and driver steps against Wine's spooler, with the
# companion files of the package: monitor_driver.exe (built from the
# installer's own sources) runs one step per run, and the spooler's state is
# checked after each. Also reads back the product version of the packaged
# DLLs and of the monitor built as other builds.
#
# Wine is not Windows here (see WINE.md), and the checks expect Wine's outcome:
# - DeletePrinterDriverExW refuses DPD_DELETE_ALL_FILES with 87, so
#   RemoveDriver asks again with flag 0: the registration goes, the driver's
#   files stay with the spooler;
# - DeleteMonitorW has no in-use check and the spooler never holds the
#   monitor DLL, so RemoveMonitor succeeds at once and deletes the DLL.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"

SETUP='C:\Program Files\Kestrovane\setup'
PROGRAM="$SETUP\\monitor_driver.exe"
BUILDS="$KSV_TOOLS/monitor_builds"

# Runs monitor_driver.exe; sets KSV_RC and OUT (its output, plain line ends).
md_run() {
    KSV_RC=0
    timeout -k 5 "$KSV_RUN_TIMEOUT" wine "$PROGRAM" "$@" >"$KSV_SCRATCH/md.out" \
        2>"$KSV_SCRATCH/md.err" || KSV_RC=$?
    OUT=$(tr -d '\r' <"$KSV_SCRATCH/md.out")
    ksv_note "monitor_driver $* -> $KSV_RC"
    printf '%s\n' "$OUT" >&2
}

exists() { [[ -e "$(ksv_unix_path "$1")" ]] && echo yes || echo no; }
has_line() { grep -qxF -- "$2" <<<"$1" && echo yes || echo no; }

MONITOR_DLL='C:\windows\system32\ksvmon64.dll'
STAGING='C:\windows\system32\spool\drivers\x64'
STORE="$STAGING\\3"

[[ -f "$KSV_TOOLS/monitor_driver.exe" ]] || {
    ksv_fail "no $KSV_TOOLS/monitor_driver.exe (build the windows preset)"
    ksv_done
}
ksv_new_prefix
ksv_place_package
cp "$KSV_TOOLS/monitor_driver.exe" "$(ksv_unix_path "$SETUP")/"

# Product versions, read back with ReadFileVersion through version.dll.
args=("$SETUP\\ksvmon64.dll" "$SETUP\\ksvdrv64.dll" "$SETUP\\ksvui64.dll" "$SETUP\\ksvhelp.chm")
for build in 2450 2451 2460 2502; do
    args+=("$(ksv_win_path "$BUILDS/$build/ksvmon64.dll")")
done
md_run versions "${args[@]}"
for dll in ksvmon64 ksvdrv64 ksvui64; do
    ksv_expect_eq "$(has_line "$OUT" "version $SETUP\\$dll.dll = 2501")" yes "$dll.dll is 1.0.0.2501"
done
ksv_expect_eq "$(has_line "$OUT" "version $SETUP\\ksvhelp.chm = -1")" yes "help file has no version"
for build in 2450 2451 2460 2502; do
    ksv_expect_contains "$OUT" "ksvmon64.dll = $build" "monitor built as $build"
done

# SetupMonitor and SetupDriver on a clean spooler.
md_run setup
ksv_expect_eq "$KSV_RC" 0 "errors of setup"
ksv_expect_contains "$OUT" "  AddMonitor - OK :)" "monitor registered"
ksv_expect_eq "$(ksv_monitors | grep -cxF 'Kestrovane:')" 1 "monitor key"
ksv_expect_eq "$(ksv_reg_value "$KSV_PRINT_KEY\\Monitors\\Kestrovane:" Driver)" ksvmon64.dll \
    "monitor's DLL name"
ksv_expect_eq "$(exists "$MONITOR_DLL")" yes "monitor DLL in the system directory"
ksv_expect_eq "$(ksv_drivers | grep -cxF 'Kestrovane printer')" 1 "driver registered"
for f in ksvdrv64.dll ksvui64.dll ksvhelp.chm; do
    ksv_expect_eq "$(exists "$STORE\\$f")" yes "$f in the driver store"
    ksv_expect_eq "$(exists "$STAGING\\$f")" no "staged $f deleted"
done
md_run ports
ksv_expect_eq "$(has_line "$OUT" "port: Kestrovane:")" yes "the monitor's port"

# A printer on our driver and port: the interface DLL gives its settings.
md_run printer
ksv_expect_eq "$KSV_RC" 0 "printer added and deleted"
ksv_expect_contains "$OUT" "printer: Kestrovane on Kestrovane: with Kestrovane printer" "printer"
ksv_expect_contains "$OUT" "paper 9" "default DEVMODEW from ksvui64.dll (A4)"

# A reinstall keeps a monitor of a compatible build and replaces others.
md_run keep
ksv_expect_contains "$OUT" "  InstallMonitor == 0, CopyMonitor == 1" "2501 is kept"
cp "$BUILDS/2460/ksvmon64.dll" "$(ksv_unix_path "$MONITOR_DLL")"
md_run keep
ksv_expect_contains "$OUT" "  Version (2460) is compatible, proceed without uninstall" "2460 is kept"
ksv_expect_eq "$(ksv_monitors | grep -cxF 'Kestrovane:')" 1 "kept monitor registered"
cp "$BUILDS/2502/ksvmon64.dll" "$(ksv_unix_path "$MONITOR_DLL")"
md_run keep
ksv_expect_contains "$OUT" "  Version (2502) is not supported, proceed with reinstall" "2502 goes"
ksv_expect_contains "$OUT" "  Monitor was removed :)" "2502 removed"
ksv_expect_eq "$(ksv_monitors | grep -cxF 'Kestrovane:')" 0 "2502 monitor unregistered"
ksv_expect_eq "$(exists "$MONITOR_DLL")" no "2502 DLL deleted"

# Set up again, then the removal as UnInstall runs it.
md_run setup
ksv_expect_eq "$KSV_RC" 0 "errors of the second setup"
md_run remove
ksv_expect_contains "$OUT" "  Driver is found. Index=1" "driver found"
# Wine refuses DPD_DELETE_ALL_FILES (87); flag 0 drops the registration.
ksv_expect_lacks "$OUT" "Trying to restart spooler" "no restart for the driver"
ksv_expect_eq "$KSV_RC" 0 "errors of remove"
ksv_expect_eq "$(ksv_drivers | grep -cxF 'Kestrovane printer')" 0 "driver unregistered"
ksv_expect_eq "$(ksv_spooler_state)" RUNNING "spooler running after the removal"
ksv_expect_contains "$OUT" "  Monitor was removed :)" "monitor removed"
# Wine never holds the DLL, so it is deleted at once, not deferred.
ksv_expect_lacks "$OUT" "deferred:" "nothing deferred"
ksv_expect_eq "$(exists "$MONITOR_DLL")" no "monitor DLL deleted"
ksv_expect_eq "$(ksv_monitors | grep -cxF 'Kestrovane:')" 0 "monitor key gone"
md_run ports
ksv_expect_eq "$(has_line "$OUT" "port: Kestrovane:")" no "port gone"
ksv_done
