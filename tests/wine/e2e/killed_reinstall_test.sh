#!/usr/bin/env bash
# Reinstalls killed with kill -9 (a crash, a power cut of the process) at
# moments spread over a whole reinstall, and right after its saved-queue
# record appeared (the queues are deleted next), each followed by a plain
# install:
# every queue of ours comes back whole (the fields a user may set, its
# SubKey, the default), and no saved-queue record is left. The queues are
# made by ksvfloor (tests/wine/floor/), the state read back by ksvops.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
OPS=$KSV_TOOLS/ksvops.exe
RECORD_KEY='HKLM\SOFTWARE\Vorland Software KFT\Kestrovane\Installer'
QUEUES=60

# Output through files: a tray program started meanwhile would hold a pipe.
ops() {
    wine "$OPS" "$@" >"$KSV_SCRATCH/ops.out" 2>"$KSV_SCRATCH/ops.err" || true
    tr -d '\r' <"$KSV_SCRATCH/ops.out"
}
ours() { ops show | grep -c '^printer|' || true; }

ksv_new_prefix
ksv_place_package
ksv_run install
ksv_expect_eq "$KSV_RC" 1 "first install"
wine "$KSV_TOOLS/ksvfloor.exe" queues "$QUEUES" >"$KSV_SCRATCH/floor.out" 2>&1
before=$(ops show | sort)
ksv_expect_eq "$(grep -c '^printer|' <<<"$before")" "$QUEUES" "queues of ours with every field"

# How long a whole reinstall takes here and now: some kills fall across it.
start=${EPOCHREALTIME/./}
ksv_run install
whole=$(((${EPOCHREALTIME/./} - start) / 1000))
ksv_note "a whole reinstall takes $whole ms"

# Starts a reinstall and kills it: after `delay` seconds, or with `saved`,
# that long after its saved-queue record appeared (the queues go next).
killed_reinstall() { # delay [saved]
    wine "$KSV_INSTALLER" install >"$KSV_SCRATCH/killed.out" 2>&1 &
    local pid=$! i
    if [[ ${2:-} == saved ]]; then
        for ((i = 0; i < 100; i++)); do
            wine reg query "$RECORD_KEY" /v SavedPrinters >/dev/null 2>&1 && break
            kill -0 "$pid" 2>/dev/null || break
        done
    fi
    sleep "$1"
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

caught=0
moments=()
for fifth in 1 2 3 4; do
    moments+=("$(awk -v ms=$((whole * fifth / 5)) 'BEGIN { printf "%.3f", ms / 1000 }')")
done
moments+=("0 saved" "0.2 saved" "0.5 saved")
for moment in "${moments[@]}"; do
    # shellcheck disable=SC2086 # a delay and, maybe, "saved"
    killed_reinstall $moment
    left=$(ours)
    ((left < QUEUES)) && caught=$((caught + 1))
    ksv_note "killed at $moment: $left of $QUEUES queues there"
    ksv_run install
    ksv_expect_eq "$KSV_RC" 1 "install after the kill at $moment"
    ksv_expect_eq "$(ops show | sort)" "$before" "every queue back whole after the kill at $moment"
    ksv_expect_eq "$(ksv_reg_query "$RECORD_KEY" || echo '(none)')" '(none)' \
        "no record left after the kill at $moment"
done
# Proof that the kills reached the window between deletion and re-creation.
((caught > 0)) || ksv_fail "no kill fell between the deletion and the re-creation"
ksv_note "$caught of ${#moments[@]} kills left queues missing"
ksv_done
