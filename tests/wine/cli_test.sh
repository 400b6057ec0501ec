#!/usr/bin/env bash
# Command lines that name no operation end with exit code 6 and touch nothing.
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

ksv_expect_eq "$(ksv_reg_query "$KSV_PRINT_KEY" /s)" "$before" "print registry unchanged"
ksv_done
