#!/usr/bin/env bash
# The Windows Installer package under Wine's msiexec, each run silent and with
# a verbose MSI log. One machine through its whole life:
#   a package whose help file was taken out (the installer fails: 1603, the
#   failed install is taken out again) -> the printer set up by another setup,
#   a user's queue, the failing package once more (1603: that setup and its
#   queue stay) -> that setup removed -> an older version, into a folder of
#   the deployer's choosing -> the user's queue -> the same package again (a
#   plain /i: nothing rebuilt) -> a repair without the tray program -> the
#   current version (major upgrade, into the same folder, with a copy of the
#   log) -> a removal with the setup folder deleted (1603, says why) -> the
#   removal once the files are repaired.
# Then short cases with a stand-in for ksvinstall.exe: the restart it asks
# for (3010, with /norestart and without), a log that arrives verbatim and
# whole, the answers to 104 and 100; and the checks made before any file is
# copied (a folder too long, a property the package does not know).
# The shell sees msiexec's code modulo 256.
#
# Wine 8's msiexec runs rollback actions, but not as Windows does (measured):
# it runs its rollback steps in the order of the install, each standard
# action undone by its opposite, so the files are removed before a rollback
# action can run ksvinstall.exe from them, and a failed upgrade loses the
# older version's files; a failed removal gets its files back from the
# package. So the failed first install is taken out by the install action
# itself, and what the rollback actions do on Windows (the restored version's
# install after a failed upgrade or removal) is checked in the tables, with
# their order (tests/package/check_package.py --msi).
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
OPS=$KSV_TOOLS/ksvops.exe
MSI_DIR=$(cd "$(dirname "$0")/../../../msi" && pwd)
RUN_KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
DEFAULT_FOLDER='C:\Program Files\Kestrovane'
PRODUCT='C:\Printers\Kestrovane' # the deployer's INSTALLFOLDER
LEGACY='C:\Vendor\Kestrovane'    # where another setup put the printer
OLD_VERSION=1.0.2400
NEW_VERSION=$(basename "$KSV_MSI" .msi)
NEW_VERSION=${NEW_VERSION#Kestrovane-}
RC1603=$((1603 % 256))
RC3010=$((3010 % 256))

ops() {
    wine "$OPS" "$@" >"$KSV_SCRATCH/ops.out" 2>/dev/null || true
    tr -d '\r' <"$KSV_SCRATCH/ops.out"
}
# Add/Remove Programs: version, publisher, help link, no Modify, folder.
arp_entries() {
    local key listing
    value() { sed -n "s/^    $1    REG_[A-Z_]*    //p" <<<"$listing"; }
    for key in $(ksv_reg_subkeys "$UNINSTALL_KEY"); do
        listing=$(ksv_reg_query "$UNINSTALL_KEY\\$key") || continue
        [[ $(value DisplayName) == 'Kestrovane printer' ]] || continue
        printf '%s|%s|%s|NoModify=%s|%s\n' "$(value DisplayVersion)" "$(value Publisher)" \
            "$(value HelpLink)" "$(value NoModify)" "$(value InstallLocation)"
    done
}
files_in() { (cd "$(ksv_unix_path "$1")" 2>/dev/null && find . -type f | sort | tr '\n' ' '); }
ours() { ops show | grep -F 'driver=Kestrovane printer' || true; }

# msiexec with a verbose log; sets RC (modulo 256), LOG (the log's text) and
# SECONDS_TAKEN.
msi() { # name /i|/x package [options and properties...]
    local name=$1 log=$KSV_SCRATCH/$1.log start
    shift
    start=${EPOCHREALTIME/./}
    RC=0
    timeout -k 5 "$KSV_RUN_TIMEOUT" wine msiexec "$1" "$(ksv_win_path "$2")" /qn \
        /l*v "$(ksv_win_path "$log")" "${@:3}" >/dev/null 2>&1 || RC=$?
    local tenths=$(((${EPOCHREALTIME/./} - start) / 100000))
    SECONDS_TAKEN=$((tenths / 10)).$((tenths % 10))
    LOG=$(tr -d '\r' <"$log" 2>/dev/null || true)
    ksv_note "msiexec $1 $(basename "$2") ${*:3} ($name) -> $RC in ${SECONDS_TAKEN}s"
}

# Everything a successful install leaves, and the installer's log in the MSI log.
expect_installed() { # what [verb]
    ksv_expect_eq "$RC" 0 "$1: msiexec exit code"
    ksv_expect_contains "$LOG" "ksvmsi: ksvinstall.exe ${2:-install} ended with 1" "$1: the installer's exit code in the MSI log"
    ksv_expect_contains "$LOG" ">AddPrinter(Kestrovane)" "$1: the installer's log lines in the MSI log"
    ksv_expect_eq "$(ksv_monitors | grep -xF 'Kestrovane:')" 'Kestrovane:' "$1: monitor"
    ksv_expect_eq "$(ksv_drivers | grep -xF 'Kestrovane printer')" 'Kestrovane printer' "$1: driver"
    ksv_expect_eq "$(ksv_printers | grep -xF Kestrovane)" Kestrovane "$1: printer"
    ksv_expect_eq "$(files_in "$PRODUCT")" \
        './kestray.exe ./setup/ksvdrv64.dll ./setup/ksvhelp.chm ./setup/ksvinstall.exe ./setup/ksvmon64.dll ./setup/ksvui64.dll ' \
        "$1: the product's files in the chosen folder"
}
expect_nothing_left() { # what
    ksv_expect_eq "$(ours)" '' "$1: no printer of ours"
    ksv_expect_eq "$(ksv_monitors | grep -xF 'Kestrovane:' || true)" '' "$1: no monitor"
    ksv_expect_eq "$(ksv_drivers | grep -xF 'Kestrovane printer' || true)" '' "$1: no driver"
    ksv_expect_eq "$(ksv_reg_value "$RUN_KEY" KestrovaneTray || true)" '' "$1: no Run value"
}

ksv_new_prefix
# The stand-in ends with the exit code in C:\ksvstandin\code.txt and writes
# C:\ksvstandin\log.txt as its log.
standin=$(ksv_unix_path 'C:\ksvstandin')
mkdir -p "$standin"
standin() { # exit code, then the log's lines
    printf '%s\n' "$1" >"$standin/code.txt"
    shift
    { printf '\xef\xbb\xbf'; printf '%s\r\n' "$@"; } >"$standin/log.txt"
}

# --- the packages made here ---------------------------------------------------
# An older version; one without the help file; one whose ksvinstall.exe is
# the stand-in. make_package name version package-folder
built=$KSV_SCRATCH/build
mkdir -p "$built"
msiinfo extract "$KSV_MSI" Binary.ksvmsi >"$built/ksvmsi.dll"
make_package() {
    python3 "$MSI_DIR/make_msi.py" --wixl wixl --wxs "$MSI_DIR/kestrovane.wxs" --version "$2" \
        --package "$3" --action "$built/ksvmsi.dll" --epoch-from "$KSV_MSI" --out "$built/$1.msi"
}
make_package old $OLD_VERSION "$KSV_DIST"
cp -a "$KSV_DIST" "$built/standin"
cp "$KSV_TOOLS/ksvstandin.exe" "$built/standin/setup/ksvinstall.exe"
make_package standin "$NEW_VERSION" "$built/standin"
cp "$KSV_MSI" "$built/nohelp.msi"
msibuild "$built/nohelp.msi" -q "DELETE FROM \`File\` WHERE \`File\` = 'ksvhelp.chm'" \
    -q "DELETE FROM \`FeatureComponents\` WHERE \`Component_\` = 'Help'" \
    -q "DELETE FROM \`Component\` WHERE \`Component\` = 'Help'"

# --- a failing first install leaves the machine as it found it -------------------
msi failing /i "$built/nohelp.msi"
ksv_expect_eq "$RC" $RC1603 "without the help file: msiexec exit code 1603"
ksv_expect_contains "$LOG" "Error(10): Cant't open source file: ksvhelp.chm" "the installer's error in the MSI log"
ksv_expect_contains "$LOG" "ksvmsi: ksvinstall.exe install ended with 100" "its exit code in the MSI log"
ksv_expect_contains "$LOG" "failed with exit code 100. Error(10): Cant't open source file: ksvhelp.chm" \
    "the package's error message, with the installer's error"
ksv_expect_contains "$LOG" "ksvmsi: ksvinstall.exe uninstall ended with 2" "the failed install taken out again"
ksv_expect_eq "$(files_in "$DEFAULT_FOLDER")" '' "no files left after the rollback"
expect_nothing_left "after the failed install"

# --- ... and never takes out a printer another setup put there ---------------------
mkdir -p "$(ksv_unix_path "$LEGACY")"
cp -a "$KSV_DIST/." "$(ksv_unix_path "$LEGACY")/"
wine "$LEGACY\\setup\\ksvinstall.exe" install /quiet >/dev/null 2>&1 || true
ops add 'Kestrovane Office' office 'second floor' 'room 2' >/dev/null
office=$(ops show | grep -F 'Kestrovane Office')
msi failing-over-setup /i "$built/nohelp.msi"
ksv_expect_eq "$RC" $RC1603 "over another setup: msiexec exit code 1603"
ksv_expect_contains "$LOG" "ksvmsi: the Kestrovane printer is set up already" "the other setup noticed"
ksv_expect_lacks "$LOG" "ksvinstall.exe uninstall" "and not taken out"
ksv_expect_eq "$(ops show | grep -F 'Kestrovane Office')" "$office" "the other setup's queue stays"
ksv_expect_eq "$(ksv_monitors | grep -xF 'Kestrovane:')" 'Kestrovane:' "its monitor stays"
ksv_expect_eq "$(ksv_drivers | grep -xF 'Kestrovane printer')" 'Kestrovane printer' "its driver stays"
wine "$LEGACY\\setup\\ksvinstall.exe" uninstall /quiet >/dev/null 2>&1 || true
expect_nothing_left "the other setup removed"

# --- an older version into the deployer's folder; a plain /i; a repair ------------------
msi old-install /i "$built/old.msi" "INSTALLFOLDER=$PRODUCT\\"
expect_installed "older version"
install_time=$SECONDS_TAKEN
ksv_expect_eq "$(ksv_reg_value "$RUN_KEY" KestrovaneTray)" "\"$PRODUCT\\kestray.exe\"" "the Run value in the chosen folder"
# The user's queue: a link to its settings, a comment, a location, the default.
ops add 'Kestrovane Office' office 'second floor' 'room 2' >/dev/null
ops default 'Kestrovane Office'
queue=$(ops show | grep -F 'Kestrovane Office')
ksv_expect_contains "$queue" 'comment=second floor|location=room 2' "the user's queue made"
ksv_expect_contains "$queue" 'plain=office' "with its SubKey"
# Wine keeps a queue's jobs in the process that made them: a value of our own
# in the queue's registry key stands for them. A queue rebuilt loses it.
office_key="$KSV_PRINT_KEY\\Printers\\Kestrovane Office"
wine reg add "$office_key" /v KsvTestJobs /d 3 /f >/dev/null 2>&1

msi again /i "$built/old.msi"
ksv_expect_eq "$RC" 0 "a plain second /i: msiexec exit code"
ksv_expect_lacks "$LOG" "ksvmsi: ksvinstall.exe" "a plain second /i runs no installer"
ksv_expect_eq "$(ksv_reg_value "$office_key" KsvTestJobs)" 3 "a plain second /i leaves the queue as it was"

# Wine's msiexec has no working /f: REINSTALL=ALL REINSTALLMODE=vamus is /fa.
msi repair /i "$built/old.msi" REINSTALL=ALL REINSTALLMODE=vamus KSVNOTRAY=1
expect_installed "repair" in_notray
ksv_expect_contains "$LOG" "ksvmsi: ksvinstall.exe removetray ended with 6" "repair: the tray program stopped before its file is replaced"
ksv_expect_eq "$(ksv_reg_value "$RUN_KEY" KestrovaneTray || true)" '' "KSVNOTRAY=1: no Run value"
ksv_expect_eq "$(ops show | grep -F 'Kestrovane Office')" "$queue" "repair keeps the user's queue"

# --- the upgrade stays in the chosen folder --------------------------------------
mkdir -p "$(ksv_unix_path 'C:\logs')"
# Wine's rollback of the failed install over the other setup may leave that
# package's kestray.exe in the default folder (when the tray program it had
# started has not yet ended), and the other setup's uninstall no longer
# deletes a kestray.exe that is not its own, whatever its Run value named:
# the upgrade must add nothing there.
default_before=$(files_in "$DEFAULT_FOLDER" || true)
msi upgrade /i "$KSV_MSI" 'KSVLOGFILE=C:\logs\kestrovane.log'
expect_installed "upgrade"
ksv_expect_contains "$LOG" "ksvmsi: ksvinstall.exe removetray ended with 6" "upgrade: the old tray program stopped first"
ksv_expect_eq "$(ops show | grep -F 'Kestrovane Office')" "$queue" "upgrade keeps the user's queue"
ksv_expect_eq "$(ksv_reg_value "$RUN_KEY" KestrovaneTray)" "\"$PRODUCT\\kestray.exe\"" "upgrade: the Run value back"
ksv_expect_eq "$(files_in "$DEFAULT_FOLDER")" "$default_before" "upgrade: nothing in the default folder"
ksv_expect_eq "$(arp_entries)" \
    "$NEW_VERSION|Vorland Software Kft.|https://www.vorland.hu/kestrovane|NoModify=0x1|$PRODUCT\\" \
    "the new version alone in Add/Remove Programs, with its folder"
# The log copy: the installer's whole log, as it wrote it.
copy=$(tr -d '\r' <"$(ksv_unix_path 'C:\logs\kestrovane.log')" 2>/dev/null || true)
ksv_expect_contains "$copy" "install - Kestrovane build" "KSVLOGFILE: the copy begins with the installer's first line"
ksv_expect_contains "$copy" ">AddPrinter(Kestrovane)" "KSVLOGFILE: and holds its lines"

# --- a removal that cannot run the installer fails, and says why -------------------
rm -rf "$(ksv_unix_path "$PRODUCT\\setup")"
msi remove-without-installer /x "$KSV_MSI"
ksv_expect_eq "$RC" $RC1603 "removal without setup\\: msiexec exit code 1603"
ksv_expect_contains "$LOG" "ksvinstall.exe cannot be started from $PRODUCT\\setup\\" "the MSI log says why"
ksv_expect_eq "$(ksv_printers | grep -xF Kestrovane)" Kestrovane "the printer is still there, and so is the product"
msi repair-files /i "$KSV_MSI" REINSTALL=ALL REINSTALLMODE=vamus
expect_installed "repair of the deleted files"

msi remove /x "$KSV_MSI"
ksv_expect_eq "$RC" 0 "removal: msiexec exit code"
ksv_expect_contains "$LOG" "ksvmsi: ksvinstall.exe uninstall ended with 2" "the uninstall's exit code in the MSI log"
ksv_expect_contains "$LOG" ">DeleteMonitor" "the uninstall's log lines in the MSI log"
expect_nothing_left "removal"
ksv_expect_eq "$(arp_entries)" '' "nothing in Add/Remove Programs"
ksv_expect_eq "$(files_in "$PRODUCT")" '' "no files of ours"
ksv_note "wall time: install ${install_time}s, removal ${SECONDS_TAKEN}s"

# --- the stand-in: restarts, the log verbatim and whole, failures -----------------
# Lines Windows Installer would read as properties, fields, file keys, the
# environment, a null, conditional text.
tricky=('>Check [0] [1] [ProductName] [#ksvinstall.exe] [%PATH] [~]cut here? {{x}} [|uninstall]'
    'printer|Office [2]|port=Kestrovane:' '  Error(7): not [Office] - ({x})')
standin 101 Kestrovane "${tricky[@]}"
msi restart /i "$built/standin.msi" 'KSVLOGFILE=C:\logs\standin.log'
ksv_expect_eq "$RC" $RC3010 "exit code 101: msiexec 3010"
for line in "${tricky[@]}"; do
    ksv_expect_eq "$(grep -cxF -- "$line" <<<"$LOG")" 1 "verbatim in the MSI log: $line"
done
ksv_expect_eq "$(cmp "$standin/log.txt" "$(ksv_unix_path 'C:\logs\standin.log')" && echo same)" same \
    "KSVLOGFILE: a copy byte for byte"
standin 101 Kestrovane
msi restart-norestart /i "$built/standin.msi" REINSTALL=ALL REINSTALLMODE=vamus /norestart
ksv_expect_eq "$RC" $RC3010 "exit code 101 with /norestart: msiexec 3010"
standin 1 Kestrovane
msi no-restart /i "$built/standin.msi" REINSTALL=ALL REINSTALLMODE=vamus
ksv_expect_eq "$RC" 0 "exit code 1 after them: msiexec 0, no restart left over"

# Above 4 MiB (9000 queues with long names wrote 4.8 MB): the whole log.
{
    printf '\xef\xbb\xbfKestrovane 2501\r\n'
    for ((i = 0; i < 60000; i++)); do
        printf '  >AddPrinter(Kestrovane queue %05d with a longer name than most) :)\r\n' $i
    done
    printf 'the last line\r\n'
} >"$standin/log.txt"
msi long-log /i "$built/standin.msi" REINSTALL=ALL REINSTALLMODE=vamus
ksv_note "a log of $(stat -c %s "$standin/log.txt") bytes"
ksv_expect_eq "$(grep -c '>AddPrinter(Kestrovane queue' <<<"$LOG")" 60000 "a long log: every line in the MSI log"
ksv_expect_contains "$LOG" $'the last line\nksvmsi: ksvinstall.exe install ended with 1' "a long log: to its last line"

standin 104 Kestrovane
msi busy /i "$built/standin.msi" REINSTALL=ALL REINSTALLMODE=vamus
ksv_expect_eq "$RC" $RC1603 "exit code 104: msiexec 1603"
ksv_expect_contains "$LOG" "(ERROR_INSTALL_ALREADY_RUNNING, 1618). Nothing was changed" "104: the MSI log names 1618"
standin 100 Kestrovane '  Error(7): not [Office] - ({x})'
msi remove-nothing-left /x "$built/standin.msi"
ksv_expect_eq "$RC" 0 "a removal whose uninstall failed, with nothing of ours left: msiexec 0"
ksv_expect_contains "$LOG" "ksvmsi: nothing of the printer is left; the removal goes on" "and says why it goes on"

# --- checked before any file is copied ---------------------------------------------
long_folder="C:\\$(printf 'k%.0s' {1..230})"
msi long-folder /i "$built/standin.msi" "INSTALLFOLDER=$long_folder\\"
ksv_expect_eq "$RC" $RC1603 "a folder too long: msiexec 1603"
ksv_expect_contains "$LOG" "is too long for the Kestrovane printer: choose one of at most 222 characters" "and why"
ksv_expect_eq "$(files_in "$long_folder")" '' "no file copied"
msi bad-property /i "$built/standin.msi" KSVNOTRAY=yes
ksv_expect_eq "$RC" $RC1603 "KSVNOTRAY=yes: msiexec 1603"
ksv_expect_contains "$LOG" "KSVNOTRAY=yes is not a value the Kestrovane printer package knows" "and why"
ksv_done
