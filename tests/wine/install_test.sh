#!/usr/bin/env bash
# An install on a clean machine with no display at all: it must end by itself
# (no dialog can be shown) with exit code 1 and leave the spooler running.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
ksv_new_prefix
ksv_place_package
ksv_expect_eq "$(ksv_spooler_state)" STOPPED "spooler of a fresh prefix"

KSV_RUN_TIMEOUT=90 ksv_run install
ksv_expect_eq "$KSV_RC" 1 "exit code of install"
ksv_expect_eq "$(ksv_spooler_state)" RUNNING "spooler after install"
ksv_done
