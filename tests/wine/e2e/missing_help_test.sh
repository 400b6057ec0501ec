#!/usr/bin/env bash
# A package that lacks ksvhelp.chm, installed on a clean machine: the help
# file cannot be staged (error 10), the driver is registered without it, the
# rest of the install goes on, and the run ends with the error log shown by
# itself (no Shift) and exit code 100. A screenshot of the dialog is kept.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
ksv_new_prefix
ksv_place_package
rm "$(ksv_unix_path 'C:\Program Files\Kestrovane\setup\ksvhelp.chm')"

ksv_run_with_dialog --screenshot "${KSV_ARTIFACTS:-.}/missing-help-error-log.png" install
ksv_expect_eq "$KSV_RC" 100 "exit code of install without the help file"
ksv_expect_eq "$KSV_DIALOG_SHOWN" 1 "error log shown without Shift"
ksv_expect_eq "$KSV_DIALOG_TITLE" "Kestrovane build 2501- Install error log!" "dialog title"
# Wine's text for ERROR_FILE_NOT_FOUND (2) is its own, shorter than Windows';
# the rest is the log Windows shows (missing_help.log).
ksv_expect_log "$KSV_DIALOG_TEXT" "$(cat "$(dirname "$0")/missing_help.log")" \
    "the whole log, error 10 under the help file's copy"

driver="$KSV_PRINT_KEY\\Environments\\Windows x64\\Drivers\\Version-3\\Kestrovane printer"
ksv_expect_eq "$(ksv_reg_value "$driver" Driver)" ksvdrv64.dll "driver registered all the same"
ksv_expect_eq "$(ksv_reg_value "$driver" 'Help File')" '' "without a help file"
ksv_expect_eq "$(ksv_printers | grep -xF Kestrovane || true)" Kestrovane "printer Kestrovane made"
ksv_expect_eq "$(ksv_spooler_state)" RUNNING "spooler after install"
ksv_done
