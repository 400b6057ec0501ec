#!/usr/bin/env bash
# The Windows Installer package under Wine's msiexec, its whole life on one
# machine, each run silent and with a verbose MSI log:
#   a package whose help file was taken out (the installer fails: 1603, no
#   files left) -> an older version installed -> the user's queue -> the same
#   package again (repair) -> the current version (major upgrade) -> removal.
# The user's queue (SubKey, comment, location, default) must survive the
# repair and the upgrade. The shell sees msiexec's code modulo 256.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
OPS=$KSV_TOOLS/ksvops.exe
MSI_DIR=$(cd "$(dirname "$0")/../../../msi" && pwd)
RUN_KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
PRODUCT='C:\Program Files\Kestrovane'
OLD_VERSION=1.0.2400
NEW_VERSION=$(basename "$KSV_MSI" .msi)
NEW_VERSION=${NEW_VERSION#Kestrovane-}

ops() {
    wine "$OPS" "$@" >"$KSV_SCRATCH/ops.out" 2>/dev/null || true
    tr -d '\r' <"$KSV_SCRATCH/ops.out"
}
# Add/Remove Programs: version, publisher, help link, no Modify button.
arp_entries() {
    local key base='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
    for key in $(ksv_reg_subkeys "$base"); do
        [[ $(ksv_reg_value "$base\\$key" DisplayName) == 'Kestrovane printer' ]] || continue
        printf '%s|%s|%s|NoModify=%s\n' "$(ksv_reg_value "$base\\$key" DisplayVersion)" \
            "$(ksv_reg_value "$base\\$key" Publisher)" "$(ksv_reg_value "$base\\$key" HelpLink)" \
            "$(ksv_reg_value "$base\\$key" NoModify)"
    done
}
product_files() { (cd "$(ksv_unix_path "$PRODUCT")" 2>/dev/null && find . -type f | sort); }

# msiexec with a verbose log; sets RC (modulo 256), LOG (the log's text) and
# SECONDS_TAKEN.
msi() { # name /i|/x package [properties...]
    local name=$1 log=$KSV_SCRATCH/$1.log start
    shift
    start=${EPOCHREALTIME/./}
    RC=0
    timeout -k 5 "$KSV_RUN_TIMEOUT" wine msiexec "$1" "$(ksv_win_path "$2")" /qn \
        /l*v "$(ksv_win_path "$log")" "${@:3}" >/dev/null 2>&1 || RC=$?
    local tenths=$(((${EPOCHREALTIME/./} - start) / 100000))
    SECONDS_TAKEN=$((tenths / 10)).$((tenths % 10))
    LOG=$(tr -d '\r' <"$log" 2>/dev/null || true)
    ksv_note "msiexec $1 $(basename "$2") ($name) -> $RC in ${SECONDS_TAKEN}s"
}

# Everything a successful install leaves, and the installer's log in the MSI log.
expect_installed() { # what
    ksv_expect_eq "$RC" 0 "$1: msiexec exit code"
    ksv_expect_contains "$LOG" "ksvmsi: ksvinstall.exe install ended with 1" "$1: the installer's exit code in the MSI log"
    ksv_expect_contains "$LOG" ">AddPrinter(Kestrovane)" "$1: the installer's log lines in the MSI log"
    ksv_expect_eq "$(ksv_monitors | grep -xF 'Kestrovane:')" 'Kestrovane:' "$1: monitor"
    ksv_expect_eq "$(ksv_drivers | grep -xF 'Kestrovane printer')" 'Kestrovane printer' "$1: driver"
    ksv_expect_eq "$(ksv_printers | grep -xF Kestrovane)" Kestrovane "$1: printer"
    ksv_expect_eq "$(ksv_reg_value "$RUN_KEY" KestrovaneTray)" "\"$PRODUCT\\kestray.exe\"" "$1: Run value"
    ksv_expect_eq "$(product_files | tr '\n' ' ')" \
        './kestray.exe ./setup/ksvdrv64.dll ./setup/ksvhelp.chm ./setup/ksvinstall.exe ./setup/ksvmon64.dll ./setup/ksvui64.dll ' \
        "$1: the product's files"
}

ksv_new_prefix

# --- the packages made here: an older version, and one without the help file ----
built=$KSV_SCRATCH/build
mkdir -p "$built"
msiinfo extract "$KSV_MSI" Binary.ksvmsi >"$built/ksvmsi.dll"
python3 "$MSI_DIR/make_msi.py" --wixl wixl --wxs "$MSI_DIR/kestrovane.wxs" --version $OLD_VERSION \
    --package "$KSV_DIST" --action "$built/ksvmsi.dll" --epoch-from "$KSV_MSI" --out "$built/old.msi"
cp "$KSV_MSI" "$built/nohelp.msi"
msibuild "$built/nohelp.msi" -q "DELETE FROM \`File\` WHERE \`File\` = 'ksvhelp.chm'" \
    -q "DELETE FROM \`FeatureComponents\` WHERE \`Component_\` = 'Help'" \
    -q "DELETE FROM \`Component\` WHERE \`Component\` = 'Help'"

# --- an installer that fails rolls the package back ----------------------------
msi failing /i "$built/nohelp.msi"
ksv_expect_eq "$RC" $((1603 % 256)) "without the help file: msiexec exit code 1603"
ksv_expect_contains "$LOG" "Error(10): Cant't open source file: ksvhelp.chm" "the installer's error in the MSI log"
ksv_expect_contains "$LOG" "ksvmsi: install failed (100)" "its exit code in the MSI log"
ksv_expect_eq "$(product_files)" '' "no files left after the rollback"
ksv_expect_eq "$(ksv_printers | grep -F Kestrovane || true)" '' "nor a printer on them"

# --- install, repair, upgrade --------------------------------------------------
msi old-install /i "$built/old.msi"
expect_installed "older version"
install_time=$SECONDS_TAKEN
# The user's queue: a link to its settings, a comment, a location, the default.
ops add 'Kestrovane Office' office 'second floor' 'room 2' >/dev/null
ops default 'Kestrovane Office'
queue=$(ops show | grep -F 'Kestrovane Office')
ksv_expect_contains "$queue" 'comment=second floor|location=room 2' "the user's queue made"
ksv_expect_contains "$queue" 'plain=office' "with its SubKey"

msi repair /i "$built/old.msi"
expect_installed "repair"
ksv_expect_eq "$(ops show | grep -F 'Kestrovane Office')" "$queue" "repair keeps the user's queue"

msi upgrade /i "$KSV_MSI"
expect_installed "upgrade"
ksv_expect_eq "$(ops show | grep -F 'Kestrovane Office')" "$queue" "upgrade keeps the user's queue"
ksv_expect_eq "$(arp_entries)" "$NEW_VERSION|Vorland Software Kft.|https://www.vorland.hu/kestrovane|NoModify=0x1" \
    "the new version alone in Add/Remove Programs"

# --- removal ---------------------------------------------------------------------
msi remove /x "$KSV_MSI"
ksv_expect_eq "$RC" 0 "removal: msiexec exit code"
ksv_expect_contains "$LOG" "ksvmsi: ksvinstall.exe uninstall ended with 2" "the uninstall's exit code in the MSI log"
ksv_expect_contains "$LOG" ">DeleteMonitor" "the uninstall's log lines in the MSI log"
ksv_expect_eq "$(ops show | grep -F 'driver=Kestrovane printer' || true)" '' "no printer of ours"
ksv_expect_eq "$(ksv_monitors | grep -xF 'Kestrovane:' || true)" '' "no monitor"
ksv_expect_eq "$(ksv_drivers | grep -xF 'Kestrovane printer' || true)" '' "no driver"
ksv_expect_eq "$(ksv_reg_value "$RUN_KEY" KestrovaneTray || true)" '' "no Run value"
ksv_expect_eq "$(arp_entries)" '' "nothing in Add/Remove Programs"
ksv_expect_eq "$(product_files)" '' "no files of ours"
ksv_note "wall time: install ${install_time}s, removal ${SECONDS_TAKEN}s"
ksv_done
