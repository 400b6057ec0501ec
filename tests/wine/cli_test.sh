#!/usr/bin/env bash
# Command lines that name no operation, or carry an option the installer does
# not know, end with exit code 6 and touch nothing.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
ksv_new_prefix
ksv_place_package
before=$(ksv_reg_query "$KSV_PRINT_KEY" /s)

ksv_run
ksv_expect_eq "$KSV_RC" 6 "no verb"
ksv_run frobnicate
ksv_expect_eq "$KSV_RC" 6 "unknown verb"
ksv_run ""
ksv_expect_eq "$KSV_RC" 6 "empty verb"
# def.set matches in lower case only.
ksv_run DEF.SET
ksv_expect_eq "$KSV_RC" 6 "DEF.SET"
ksv_run Def.set
ksv_expect_eq "$KSV_RC" 6 "Def.set"

ksv_run install /frobnicate
ksv_expect_eq "$KSV_RC" 6 "unknown option"
ksv_run install /log
ksv_expect_eq "$KSV_RC" 6 "/log without a file"
ksv_run uninstall /quiet /log k.log
ksv_expect_eq "$KSV_RC" 6 "/log with a relative path"

ksv_expect_eq "$(ksv_reg_query "$KSV_PRINT_KEY" /s)" "$before" "print registry unchanged"
ksv_expect_eq "$(ksv_reg_value 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' \
    KestrovaneTray || true)" "" "no tray program registered"
ksv_expect_eq "$(ls "$(ksv_unix_path 'C:\windows\system32')" | grep -ci ksvmon || true)" 0 \
    "no monitor DLL copied"
ksv_done
