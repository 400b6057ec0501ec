#!/usr/bin/env bash
# An error shows the log without Shift, and ends in exit code 100. The error
# is the simplest one to provoke: a spooler service that is disabled, so that
# the start of the run cannot start it (error 4 after ten seconds of polls).
# Without a display the dialog cannot appear, and the run must still end.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
ksv_new_prefix
ksv_place_package
wine reg add 'HKLM\System\CurrentControlSet\Services\Spooler' /v Start /t REG_DWORD /d 4 /f \
    >/dev/null 2>&1
ksv_restart_wineserver # services.exe reads the start type when it starts

KSV_RUN_TIMEOUT=60 ksv_run install
ksv_expect_eq "$KSV_RC" 100 "exit code of install with an error, no display"

ksv_run_with_dialog install
ksv_expect_eq "$KSV_RC" 100 "exit code of install with an error"
ksv_expect_eq "$KSV_DIALOG_SHOWN" 1 "log dialog shown without Shift"
ksv_expect_eq "$KSV_DIALOG_TITLE" "Kestrovane build 2501- Install error log!" "dialog title"
# Wine's text for 1058 (ERROR_SERVICE_DISABLED) is its own, shorter than Windows'.
cr=$'\r'
ksv_expect_contains "$KSV_DIALOG_TEXT" ">Check Spooler$cr
  Error(4): Can't start the spooler - (Service is disabled.)$cr
" "error 4 under the spooler check, with the system's text"
ksv_done
