#!/usr/bin/env bash
# The package run from a downloads folder where someone dropped a version.dll
# and a winspool.drv beside the installer (and the tray program), with the DLL search order of
# Windows (the program's folder first; Wine's own order prefers its builtin
# DLLs). Every verb must work and neither planted DLL may be loaded: each
# leaves a marker file in C:\users\Public when it is.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
ksv_new_prefix
downloads='C:\users\Public\Downloads\Kestrovane'
target=$(ksv_unix_path "$downloads")
mkdir -p "$target"
cp -a "$KSV_DIST/." "$target/"
for dir in "$target/setup" "$target"; do
    cp "$KSV_TOOLS/planted/version.dll" "$KSV_TOOLS/planted/winspool.drv" "$dir/"
done
KSV_INSTALLER="$downloads\\setup\\ksvinstall.exe"
export WINEDLLOVERRIDES="mscoree,mshtml=;version,winspool.drv=n,b"

run() { # expected exit code, verb
    ksv_run "$2"
    ksv_expect_eq "$KSV_RC" "$1" "exit code of $2"
}
run 102 onInit # before anything: nothing pending, no default printer
run 3 onChkDrv
run 1 install
run 103 onChkDrv
run 4 def.set
run 3 onInit # the default printer is ours
run 6 removetray
run 2 uninstall # the driver deletion asks again without the refused flag

ksv_expect_eq "$(ksv_printers | grep -xF Kestrovane || true)" "" "printer removed again"
markers=$(cd "$(ksv_unix_path 'C:\users\Public')" && ls -d planted-* 2>/dev/null || true)
ksv_expect_eq "$markers" "" "no planted DLL was loaded"
ksv_done
