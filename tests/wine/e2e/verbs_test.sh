#!/usr/bin/env bash
# Every verb end to end, in the order a setup program and its user would meet
# them, on one machine: the whole package placed in C:\Program Files\Kestrovane\,
# an X server so that the tray program and the log dialog can show, and the
# log reader watching every run for the dialog.
#
#   probes on a clean machine -> install (Shift held: the whole log) -> a
#   second queue of ours, the default -> reinstall -> onChkDrv, def.set,
#   onInit -> removetray (the tray program's file stays) -> uninstall -> the
#   probes again.
#
# Wine is not Windows in one place that shows here: DeletePrinterDriverExW
# refuses DPD_DELETE_ALL_FILES with 87. The installer then asks once more
# with flag 0, which drops the registration and leaves the driver's files to
# the spooler, so reinstall and uninstall exit 1 and 2 as on Windows, with no
# spooler restart; only the files left in the driver store differ.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
OPS=$KSV_TOOLS/ksvops.exe
RUN_KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
TRAY='C:\Program Files\Kestrovane\kestray.exe'
SETUP_DIR='C:\Program Files\Kestrovane\setup'
RECORD_KEY='HKLM\SOFTWARE\Vorland Software KFT\Kestrovane\Installer'

# ksvops.exe (tests/wine/operations/) for what the installer does not do:
# adding a queue as the user would, reading the queues back, the tray's state.
# Output through a file: a tray program started meanwhile would hold a pipe.
ops() {
    local rc=0
    wine "$OPS" "$@" >"$KSV_SCRATCH/ops.out" 2>"$KSV_SCRATCH/ops.err" || rc=$?
    tr -d '\r' <"$KSV_SCRATCH/ops.out"
    return $rc
}
run_value() { ksv_reg_value "$RUN_KEY" KestrovaneTray || echo '(none)'; }
tray_file() { [[ -e "$(ksv_unix_path "$TRAY")" ]] && echo present || echo gone; }
default_printer() { ops show | sed -n 's/^default|//p'; }
our_printers() { ops show | grep -F '|driver=Kestrovane printer|' | cut -d'|' -f2 || true; }

# The tray program starts on its own after the installer has launched it.
tray_state() { # wanted state, description
    local state i
    for ((i = 0; i < 40; i++)); do
        state=$(ops traystate)
        [[ $state == "traystate|$1" ]] && break
        sleep 0.25
    done
    ksv_expect_eq "$state" "traystate|$1" "$2"
}

# A run under the log reader that must show no dialog.
quiet_run() { # expected exit code, verb
    ksv_run_with_dialog "$2"
    ksv_expect_eq "$KSV_RC" "$1" "exit code of $2"
    ksv_expect_eq "$KSV_DIALOG_SHOWN" 0 "no dialog for $2"
}

ksv_new_prefix
ksv_place_package
ksv_start_xvfb

# --- what a setup program asks before it installs ---------------------------------
quiet_run 3 onChkDrv  # no printer of ours
quiet_run 102 onInit  # nothing pending, no default printer

# --- install -----------------------------------------------------------------------
ksv_run_with_dialog --shift install
ksv_expect_eq "$KSV_RC" 1 "exit code of install"
ksv_expect_eq "$KSV_DIALOG_SHOWN" 1 "log shown with Shift held"
ksv_expect_eq "$KSV_DIALOG_TITLE" "Kestrovane build 2501- Install log." "title without errors"
ksv_expect_log "$KSV_DIALOG_TEXT" 'Kestrovane 2501
>Check Spooler
PrinterDriverDirectory(1):C:\windows\system32\spool\drivers\x64
PrinterDriverDirectory(2):C:\windows\system32\spool\drivers\x64\
>>0010
>ReInstall
    >UnInstall
      EnumMonitors
      1 Monitors found.
      EnumPrinterDrivers for Windows x64
      0 drivers found
      >DeleteAllPrinters
      >DeletePrinterDriver for Windows x64
        BTW, there is no printer drivers on this system.
        No Kestrovane driver was found
      >DeleteMonitor
        ------- 1 existing monitors ----------
        1. Local Port
        ---------------------------------------
        No Kestrovane port monitor was found.
        Computing monitor filename
        Auto calculated monitor file name: C:\windows\system32\ksvmon64.dll
        Version is unknown, proceed with reinstall
        Can'"'"'t delete monitor and monitor was not found. So everything should be ok
    >AddMonitor
      Copy monitor file
      >CopyFile ksvmon64.dll to C:\windows\system32\ [0])
        Copy Succeeded :)
      AddMonitor - OK :)
    >Add Printer Driver
      >CopyFile ksvdrv64.dll to C:\windows\system32\spool\drivers\x64\ [1])
        Copy Succeeded :)
      >CopyFile ksvui64.dll to C:\windows\system32\spool\drivers\x64\ [1])
        Copy Succeeded :)
      >CopyFile ksvhelp.chm to C:\windows\system32\spool\drivers\x64\ [1])
        Copy Succeeded :)
      OK :)
    >AddPrinter(Kestrovane)
      Let'"'"'s check our port monitors
      Port monitor is found
      OK :)' "the whole log of a first install"

ksv_expect_eq "$(ksv_monitors | grep -xF 'Kestrovane:' || true)" 'Kestrovane:' "monitor registered"
ksv_expect_eq "$(ksv_reg_value "$KSV_PRINT_KEY\\Monitors\\Kestrovane:" Driver)" ksvmon64.dll \
    "monitor's DLL"
ksv_expect_eq "$(ksv_drivers | grep -xF 'Kestrovane printer' || true)" 'Kestrovane printer' \
    "driver registered"
ksv_expect_eq "$(ops show | grep '^printer|')" \
    'printer|Kestrovane|port=Kestrovane:|driver=Kestrovane printer|comment=|location=|processor=WinPrint|datatype=RAW|plain=(error 2)|user=(error 2)|share=|attributes=0|priority=0/0|hours=0-0|separator=|parameters=|orientation=portrait' \
    "one printer, Kestrovane, on our port and driver"
ksv_expect_eq "$(run_value)" "\"$TRAY\"" "tray program registered to start at logon"
tray_state 'mutex=yes|window=yes' "tray program started"
ksv_expect_eq "$(ksv_spooler_state)" RUNNING "spooler after install"

# --- the user's queues ---------------------------------------------------------------
# Only a queue with a SubKey (the link to its per-user settings) is made again
# by a reinstall; a queue of ours without one is deleted for good. So the
# installer's queue gets one, written where Wine's spooler keeps printer data
# and reads it from on every GetPrinterDataA/ExA call (checked below through
# those calls). The second queue is added as a user's tool would add it.
for key in PrinterDriverData DsUser; do
    wine reg add "$KSV_PRINT_KEY\\Printers\\Kestrovane\\$key" /v SubKey /d kestrovane /f \
        >/dev/null 2>&1
done
ksv_expect_eq "$(ops add 'Kestrovane B' beta 'second floor' 'room 2')" 'add: Kestrovane B' \
    "second queue added"
# Everything else a user may set on it, all of which a reinstall gives back
# (Wine's spooler stores every field; it keeps no permissions).
ksv_expect_eq "$(ops dress 'Kestrovane B' bshare 'C:\windows\system32\ksv.sep')" \
    'dress: Kestrovane B' "second queue shared, with hours, priorities, separator, landscape"
# Made the default in other letters, as a user may type it: the spooler
# finds the queue, and keeps the default in that spelling.
ops default 'kestrovane b'
before=$(ops show | sort)
ksv_note "before the reinstall:"$'\n'"$before"
ksv_expect_contains "$before" \
    'printer|Kestrovane|port=Kestrovane:|driver=Kestrovane printer|comment=|location=|processor=WinPrint|datatype=RAW|plain=kestrovane|user=kestrovane' \
    "the installer's queue with its SubKey"
ksv_expect_contains "$before" \
    'printer|Kestrovane B|port=Kestrovane:|driver=Kestrovane printer|comment=second floor|location=room 2|processor=WinPrint|datatype=RAW|plain=beta|user=beta|share=bshare|attributes=264|priority=7/3|hours=60-1380|separator=C:\windows\system32\ksv.sep|parameters=copies=2|orientation=landscape' \
    "the second queue as made"
ksv_expect_contains "$before" 'default|kestrovane b' "the second queue is the default, as typed"

# --- reinstall -----------------------------------------------------------------------
ksv_run_with_dialog --shift install
ksv_expect_eq "$KSV_RC" 1 "exit code of reinstall"
ksv_expect_eq "$KSV_DIALOG_SHOWN" 1 "log shown with Shift held"
ksv_expect_eq "$KSV_DIALOG_TITLE" "Kestrovane build 2501- Install log." "title without errors"
# The driver goes at the second ask (flag 0), with no spooler restart (the
# whole log says so); the monitor of the same build is kept.
ksv_expect_log "$KSV_DIALOG_TEXT" 'Kestrovane 2501
>Check Spooler
PrinterDriverDirectory(1):C:\windows\system32\spool\drivers\x64
PrinterDriverDirectory(2):C:\windows\system32\spool\drivers\x64\
>>0010
>ReInstall
    >UnInstall
      EnumMonitors
      2 Monitors found.
      EnumPrinterDrivers for Windows x64
      1 drivers found
      >DeleteAllPrinters
        >DeletePrinter(Kestrovane)
          OK
        >DeletePrinter(Kestrovane B)
          OK
      >DeletePrinterDriver for Windows x64
        ------------ 1 existing drivers-----------
        1. Kestrovane printer
        -------------------------------------------
        Driver is found. Index=1
        OK :)
      >DeleteMonitor
        ------- 2 existing monitors ----------
        1. Kestrovane:
        2. Local Port
        ---------------------------------------
        Port monitor is found. Index=1
        Trying to get monitor filename from MONITOR_INFO_2
        Auto calculated monitor file name: C:\windows\system32\ksvmon64.dll
        Version (2501) is compatible, proceed without uninstall
        InstallMonitor == 0, CopyMonitor == 1
    >Add Printer Driver
      >CopyFile ksvdrv64.dll to C:\windows\system32\spool\drivers\x64\ [1])
        Copy Succeeded :)
      >CopyFile ksvui64.dll to C:\windows\system32\spool\drivers\x64\ [1])
        Copy Succeeded :)
      >CopyFile ksvhelp.chm to C:\windows\system32\spool\drivers\x64\ [1])
        Copy Succeeded :)
      OK :)
    >AddPrinter(Kestrovane B)
      Let'"'"'s check our port monitors
      Port monitor is found
      OK :)
    >AddPrinter(Kestrovane)
      Let'"'"'s check our port monitors
      Port monitor is found
      OK :)' "the whole log of the reinstall"
ksv_expect_eq "$(ops show | grep -v '^default|' | sort)" "$(grep -v '^default|' <<<"$before")" \
    "both queues back whole"
ksv_expect_eq "$(default_printer)" 'Kestrovane B' "and the default, in the queue's own spelling"
ksv_expect_eq "$(ksv_reg_query "$RECORD_KEY" || echo '(none)')" '(none)' "no saved-queue record left"

ksv_expect_eq "$(run_value)" "\"$TRAY\"" "tray program registered again"
ksv_expect_eq "$(tray_file)" present "the tray program it starts again is kept"
tray_state 'mutex=yes|window=yes' "tray program started again"

# --- a broken package ----------------------------------------------------------------
# The driver DLL gone from the package (an antivirus quarantine, a half-copied
# update): the install changes nothing at all.
untouched=$(ops show | sort)
drv=$(ksv_unix_path "$SETUP_DIR\ksvdrv64.dll")
mv "$drv" "$KSV_SCRATCH/"
ksv_run_with_dialog install
ksv_expect_eq "$KSV_RC" 100 "exit code with the driver DLL missing"
ksv_expect_log "$KSV_DIALOG_TEXT" 'Kestrovane 2501
>Check Spooler
PrinterDriverDirectory(1):C:\windows\system32\spool\drivers\x64
PrinterDriverDirectory(2):C:\windows\system32\spool\drivers\x64\
>>0010
>ReInstall
    Error(10): Cant'"'"'t open source file: ksvdrv64.dll - (File not found.)' \
    "the whole log: the missing DLL named, nothing done"
ksv_expect_eq "$(ops show | sort)" "$untouched" "every queue untouched"
ksv_expect_eq "$(ksv_drivers | grep -xF 'Kestrovane printer' || true)" 'Kestrovane printer' \
    "the driver untouched"
mv "$KSV_SCRATCH/ksvdrv64.dll" "$drv"
tray_state 'mutex=yes|window=yes' "the tray program untouched"

# --- the probes and def.set ---------------------------------------------------------
quiet_run 103 onChkDrv # our driver, build 2501
quiet_run 3 onInit     # nothing pending, the default is ours
quiet_run 4 def.set
ksv_expect_eq "$(default_printer)" "$(our_printers | head -n1)" \
    "def.set made the first queue of ours the default"
ksv_expect_eq "$(default_printer)" Kestrovane "which is Kestrovane"
quiet_run 3 onInit

# --- removetray ----------------------------------------------------------------------
quiet_run 6 removetray
tray_state 'mutex=no|window=no' "tray program stopped by removetray"
ksv_expect_eq "$(run_value)" '(none)' "Run value removed by removetray"
ksv_expect_eq "$(tray_file)" present "the tray program the package ships is kept"

# --- uninstall -----------------------------------------------------------------------
# The tray program runs again, as after the next logon: the uninstall must
# stop it too, and delete it.
ops registertray "$SETUP_DIR" >/dev/null
tray_state 'mutex=yes|window=yes' "tray program running before the uninstall"

ksv_run_with_dialog --shift uninstall
ksv_expect_eq "$KSV_RC" 2 "exit code of uninstall"
ksv_expect_eq "$KSV_DIALOG_SHOWN" 1 "log shown with Shift held"
ksv_expect_eq "$KSV_DIALOG_TITLE" "Kestrovane build 2501- Install log." "title without errors"
# No spooler restart: the driver goes at the second ask (flag 0), the monitor
# at the first.
ksv_expect_log "$KSV_DIALOG_TEXT" 'Kestrovane 2501
>Check Spooler
PrinterDriverDirectory(1):C:\windows\system32\spool\drivers\x64
PrinterDriverDirectory(2):C:\windows\system32\spool\drivers\x64\
>UnInstall
  EnumMonitors
  2 Monitors found.
  EnumPrinterDrivers for Windows x64
  1 drivers found
  >DeleteAllPrinters
    >DeletePrinter(Kestrovane)
      OK
    >DeletePrinter(Kestrovane B)
      OK
  >DeletePrinterDriver for Windows x64
    ------------ 1 existing drivers-----------
    1. Kestrovane printer
    -------------------------------------------
    Driver is found. Index=1
    OK :)
  >DeleteMonitor
    ------- 2 existing monitors ----------
    1. Kestrovane:
    2. Local Port
    ---------------------------------------
    Port monitor is found. Index=1
    Trying to get monitor filename from MONITOR_INFO_2
    Auto calculated monitor file name: C:\windows\system32\ksvmon64.dll
    There is no check for monitor version
    Monitor was removed :)' "the whole log of the uninstall"

ksv_expect_eq "$(our_printers)" '' "no printer of ours"
ksv_expect_eq "$(default_printer)" '(none)' "no default printer left behind"
ksv_expect_eq "$(ksv_monitors | grep -xF 'Kestrovane:' || true)" '' "no monitor"
ksv_expect_eq "$(ksv_drivers | grep -xF 'Kestrovane printer' || true)" '' "no driver registered"
tray_state 'mutex=no|window=no' "tray program stopped by the uninstall"
ksv_expect_eq "$(run_value)" '(none)' "no Run value"
ksv_expect_eq "$(ksv_spooler_state)" RUNNING "spooler after uninstall"
# Files of ours outside the package: only the driver's, which Wine's spooler
# keeps after a deletion without flag; nothing waits for a restart.
left=$(cd "$WINEPREFIX/drive_c" && find . -type f \( -iname 'ksv*' -o -iname 'kestray*' \) \
    ! -path './Program Files/Kestrovane/setup/*' | sort)
ksv_expect_eq "$left" './windows/system32/spool/drivers/x64/3/ksvdrv64.dll
./windows/system32/spool/drivers/x64/3/ksvhelp.chm
./windows/system32/spool/drivers/x64/3/ksvui64.dll' "files left: the driver store's only"
ksv_expect_eq "$(ksv_reg_value 'HKLM\System\CurrentControlSet\Control\Session Manager' \
    PendingFileRenameOperations || echo '(none)')" '(none)' "nothing scheduled for a restart"

# --- the probes afterwards -----------------------------------------------------------
quiet_run 3 onChkDrv
quiet_run 102 onInit
ksv_done
