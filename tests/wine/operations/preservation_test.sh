#!/usr/bin/env bash
# The printer preservation through Wine's real spooler: two queues of ours
# with their SubKey in both places, comments and locations, one of them the
# default, are saved and deleted, then re-created in reverse order with all
# of it restored, and their per-user "deleted" marks are removed.
# Wine-only: its SetPrinterW(PRINTER_CONTROL_PURGE) fails with 124, which the
# deletion ignores as it should, so the log is the one Windows would show.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
OPS=$KSV_TOOLS/ksvops.exe
SETTINGS='HKCU\Software\Vorland Software KFT\Kestrovane\Kestrovanes'

# Output through a file, not a pipe: the tray program that an operation starts
# inherits the Unix end of the pipe and would hold the reader for ever.
ops() {
    local rc=0
    wine "$OPS" "$@" >"$KSV_SCRATCH/ops.out" 2>"$KSV_SCRATCH/ops.err" || rc=$?
    tr -d '\r' <"$KSV_SCRATCH/ops.out"
    return $rc
}

ksv_new_prefix
ksv_place_package

ksv_expect_eq "$(ops setup 'C:\Program Files\Kestrovane\setup')" 'setup: ok' "monitor and driver"
ksv_expect_eq "$(ops add 'Kestrovane A' alpha 'first floor' 'room 1')" 'add: Kestrovane A' "queue A"
ksv_expect_eq "$(ops add 'Kestrovane B' beta 'second floor' 'room 2')" 'add: Kestrovane B' "queue B"
ops default 'Kestrovane B'
for key in alpha beta; do
    wine reg add "$SETTINGS\\$key" /v deleted /d 1 /f >/dev/null 2>&1
    wine reg add "$SETTINGS\\$key" /v Resolution /d 600 /f >/dev/null 2>&1
done
before=$(ops show | sort)
ksv_note "before:"$'\n'"$before"
ksv_expect_contains "$before" 'default|Kestrovane B' "B is the default"
ksv_expect_contains "$before" 'printer|Kestrovane A|port=Kestrovane:|driver=Kestrovane printer|comment=first floor|location=room 1|processor=WinPrint|datatype=RAW|plain=alpha|user=alpha' "queue A as made"

rc=0
out=$(ops preserve) || rc=$?
ksv_note "preserve:"$'\n'"$out"
ksv_expect_eq "$rc" 0 "no error logged"
ksv_expect_contains "$out" 'between|'$'\n' "no queue of ours between deletion and re-creation"
expected='>DeleteAllPrinters
  >DeletePrinter(Kestrovane A)
    OK
  >DeletePrinter(Kestrovane B)
    OK
>AddPrinter(Kestrovane B)
  Let'"'"'s check our port monitors
  Port monitor is found
  OK :)
>AddPrinter(Kestrovane A)
  Let'"'"'s check our port monitors
  Port monitor is found
  OK :)'
ksv_expect_eq "$(sed -n '/^>DeleteAllPrinters/,$p' <<<"$out" | sed '/^$/d')" "$expected" "log"

after=$(ops show | sort)
ksv_expect_eq "$after" "$before" "every queue as it was, the default included"
for key in alpha beta; do
    ksv_expect_eq "$(ksv_reg_value "$SETTINGS\\$key" deleted || echo '(none)')" '(none)' \
        "mark of $key removed"
    ksv_expect_eq "$(ksv_reg_value "$SETTINGS\\$key" Resolution || echo '(none)')" 600 \
        "other settings of $key kept"
done
ksv_done
