#!/usr/bin/env bash
# Shift held at the end of an error-free install shows the log dialog: its
# title says "log." and the edit field holds the log as far as the dialog
# came, CR LF line ends and all. The exit code stays 1.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
ksv_new_prefix
ksv_place_package

ksv_run_with_dialog --shift --screenshot "${KSV_ARTIFACTS:-.}/log-dialog.png" install
ksv_expect_eq "$KSV_RC" 1 "exit code of install with Shift held"
ksv_expect_eq "$KSV_DIALOG_SHOWN" 1 "log dialog shown"
ksv_expect_eq "$KSV_DIALOG_TITLE" "Kestrovane build 2501- Install log." "dialog title"

cr=$'\r'
start="Kestrovane 2501$cr
>Check Spooler$cr
PrinterDriverDirectory(1):C:\\windows\\system32\\spool\\drivers\\x64$cr
PrinterDriverDirectory(2):C:\\windows\\system32\\spool\\drivers\\x64\\$cr
>>0010$cr
>ReInstall$cr
    >UnInstall$cr
"
ksv_expect_eq "${KSV_DIALOG_TEXT:0:${#start}}" "$start" "the log's first lines"
ksv_expect_eq "${KSV_DIALOG_TEXT: -2}" "$cr"$'\n' "the log ends in CR LF"
ksv_expect_lacks "$KSV_DIALOG_TEXT" "Error(" "no error in the log"
# Written after the dialog has closed, so never shown.
ksv_expect_lacks "$KSV_DIALOG_TEXT" ">>0020" "no >>0020 line"
ksv_done
