#!/usr/bin/env bash
# The package without ksvhelp.chm installed as a deployment tool does it,
# "install /quiet /log C:\k.log", with a display at hand: no dialog appears
# although an error was logged, the exit code is 100 all the same, and the
# file holds a first line with the time, the verb and the build, then the very
# lines the error log dialog shows in the missing-help test, as UTF-8 with a
# byte-order mark and CR LF line ends.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
ksv_new_prefix
ksv_place_package
rm "$(ksv_unix_path 'C:\Program Files\Kestrovane\setup\ksvhelp.chm')"

ksv_run_with_dialog install /quiet /log 'C:\k.log'
ksv_expect_eq "$KSV_RC" 100 "exit code of a quiet install without the help file"
ksv_expect_eq "$KSV_DIALOG_SHOWN" 0 "no dialog with /quiet"

log=$(ksv_unix_path 'C:\k.log')
ksv_expect_eq "$(head -c 3 "$log" | od -An -tx1 | tr -d ' ')" efbbbf "byte-order mark"
first=$(head -n 1 "$log" | tail -c +4)
[[ "$first" =~ ^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\ install\ -\ Kestrovane\ build\ 2501$'\r'$ ]] &&
    ksv_note "ok: first line ($first)" || ksv_fail "first line: '$first'"
rest=$(tail -n +2 "$log"; printf x)
ksv_expect_log "${rest%x}" "$(cat "$(dirname "$0")/missing_help.log")" \
    "the lines of the error log dialog"
ksv_done
