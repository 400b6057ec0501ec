#!/usr/bin/env bash
# A standard user against the installer, as far as Wine can show it.
#
# Wine has no private namespaces, so the lock is the global mutex with its
# owner checked, and Wine runs every program as the installer's own account:
# a squatter is told apart only by the descriptor it gave the mutex. One
# made without a descriptor (no owner: open to all), one owned by Users, one
# that shuts everyone out: each ends every verb that changes the machine at
# once with 104, nothing changed. An installer that holds the lock and never
# lets go makes the next one give up after the bound (three minutes), 104.
#
# Wine derives a file's security from its unix mode and enforces none of it:
# a package folder others may write to (chmod o+w shows as Everyone with
# write and delete rights) is refused with error 24 before the monitor DLL
# planted in it is loaded. Every file belongs to the one account, so a /log
# file a user made cannot be shown here; unix symbolic links are followed as
# plain files (no reparse points), so neither can a linked one. A /log file
# with a second name (a hard link) is refused with 6.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
ksv_new_prefix
ksv_place_package
OPS=$KSV_TOOLS/ksvops.exe
log='C:\users\Public\k.log'
logfile=$(ksv_unix_path "$log")
setup=$(ksv_unix_path 'C:\Program Files\Kestrovane\setup')
system32=$(ksv_unix_path 'C:\windows\system32')
before=$(ksv_reg_query "$KSV_PRINT_KEY" /s)
HOLDER=

hold() { # how seconds: the lock held in the background until it says so
    wine "$OPS" holdlock "$1" "$2" >"$KSV_SCRATCH/hold.out" 2>&1 &
    HOLDER=$!
    local i
    for ((i = 0; i < 150; i++)); do
        grep -q holding "$KSV_SCRATCH/hold.out" && return 0
        sleep 0.2
    done
    ksv_fail "the lock was not held ($1)"
}

let_go() {
    kill -9 "$HOLDER" 2>/dev/null || true
    wait "$HOLDER" 2>/dev/null || true
    sleep 1 # the wineserver closes the holder's handles
}

shown_log() { tail -n +2 "$logfile" | tr -d '\r'; }

refused() { # how expected-line [seconds at least]
    hold "$1" 400
    local start=$SECONDS
    ksv_run install /quiet /log "$log"
    local took=$((SECONDS - start))
    ksv_expect_eq "$KSV_RC" 104 "install with the lock held ($1)"
    ksv_expect_contains "$(shown_log)" "$2" "its log says why"
    if ((took < ${3:-0} || took > ${3:-0} + 30)); then
        ksv_fail "it ended after ${took}s"
    else
        ksv_note "ok: it ended after ${took}s"
    fi
    [[ "$1" == installer ]] || {
        ksv_run removetray
        ksv_expect_eq "$KSV_RC" 104 "removetray with the lock held ($1)"
    }
    let_go
}

refused - "Error(24): Global\\Kestrovane.ksvinstall can be changed by Everyone"
refused 'O:BUD:(A;;GA;;;WD)' \
    "Error(24): Global\\Kestrovane.ksvinstall can be changed by BUILTIN\\Users"
refused 'O:BUD:P(D;;GA;;;WD)' \
    "Error(23): Can't take the installers' lock Global\\Kestrovane.ksvinstall"
KSV_RUN_TIMEOUT=300 refused installer \
    "Error(22): Another installer still holds the installers' lock after 180 seconds" 180

# A monitor DLL planted in a folder others may write to.
cp "$KSV_TOOLS/planted/version.dll" "$setup/ksvmon64.dll"
chmod o+w "$setup"
ksv_run install /quiet /log "$log"
ksv_expect_eq "$KSV_RC" 100 "install from a folder others may write to"
ksv_expect_contains "$(shown_log)" \
    "Error(24): C:\\Program Files\\Kestrovane\\setup can be changed by Everyone" "its log"
markers=$(cd "$(ksv_unix_path 'C:\users\Public')" && ls -d planted-* 2>/dev/null || true)
ksv_expect_eq "$markers" "" "the planted DLL was not loaded"
chmod o-w "$setup"
cp "$KSV_DIST/setup/ksvmon64.dll" "$setup/"

# A log file with a second name.
echo "someone else's" >"$logfile.other"
ln -f "$logfile.other" "$logfile"
ksv_run install /quiet /log "$log"
ksv_expect_eq "$KSV_RC" 6 "a /log file with two names"
ksv_expect_eq "$(cat "$logfile.other")" "someone else's" "the other name's file kept"

ksv_expect_eq "$(ksv_reg_query "$KSV_PRINT_KEY" /s)" "$before" "nothing registered meanwhile"
ksv_expect_eq "$(ls "$system32" | grep -ci ksvmon || true)" 0 "no monitor DLL copied"

# With the lock free and the package sound again, the install runs.
rm -f "$logfile"
ksv_run install /quiet /log "$log"
ksv_expect_eq "$KSV_RC" 1 "install once nothing stands in the way"
ksv_done
