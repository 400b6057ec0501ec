#!/usr/bin/env bash
# Installs what is missing, builds the Windows package and runs its main job,
# "ksvinstall install /log C:\ksvinstall.log", in a fresh Wine prefix without
# a display; then shows the exit code, the installer's log, and what the
# system knows: the spooler's state, monitors, drivers, printers, and what
# starts at logon. Then it installs the Windows Installer package into a
# second fresh prefix with msiexec and shows the same.
# KSV_KEEP_PREFIX=1 keeps the prefix for a look around.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh
cmake --preset windows
cmake --build --preset windows -j2

source tests/wine/lib.sh

# What the system knows: the spooler, monitors, drivers, printers, logon.
show_state() {
    echo
    echo "== spooler service: $(ksv_spooler_state)"
    echo "== port monitors (name, DLL)"
    ksv_monitors | while IFS= read -r m; do
        printf '  %-20s %s\n' "$m" "$(ksv_reg_value "$KSV_PRINT_KEY\\Monitors\\$m" Driver || true)"
    done
    echo "== printer drivers, Windows x64 version 3 (name, driver file)"
    ksv_drivers | while IFS= read -r d; do
        printf '  %-20s %s\n' "$d" \
            "$(ksv_reg_value "$KSV_PRINT_KEY\\Environments\\Windows x64\\Drivers\\Version-3\\$d" Driver || true)"
    done
    echo "== printers (name, port, driver, print processor)"
    ksv_printers | while IFS= read -r p; do
        key="$KSV_PRINT_KEY\\Printers\\$p"
        printf '  %-20s %s, %s, %s\n' "$p" "$(ksv_reg_value "$key" Port || true)" \
            "$(ksv_reg_value "$key" "Printer Driver" || true)" \
            "$(ksv_reg_value "$key" "Print Processor" || true)"
    done
    echo "== run at logon"
    ksv_reg_query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' | grep REG_ || echo "  (nothing)"
}

export KSV_DIST=$root/dist/Kestrovane
ksv_fresh_prefix
ksv_place_package
echo
echo "== ksvinstall install /log C:\\ksvinstall.log"
ksv_run install /log 'C:\ksvinstall.log'
case $KSV_RC in
1) meaning="installed, no error" ;;
100) meaning="at least one error was logged" ;;
101) meaning="installed, a file waits for deletion at restart" ;;
*) meaning="unexpected" ;;
esac
echo "exit code: $KSV_RC ($meaning)"
echo
echo "== the installer's log (C:\\ksvinstall.log)"
log=$(ksv_unix_path 'C:\ksvinstall.log')
if [[ -f "$log" ]]; then
    # UTF-8 with a byte-order mark and CR LF line ends, as Windows tools read it
    sed -e '1s/^\xEF\xBB\xBF//' -e 's/\r$//' -e 's/^/  /' "$log"
else
    echo "  (not written)"
fi
show_state

# The same package as a Windows Installer package, in a second fresh prefix.
msi=$(ls -t dist/Kestrovane-*.msi | head -n1)
ksv_cleanup
ksv_fresh_prefix
echo
echo "== msiexec /i $(basename "$msi") /qn"
msi_log=$KSV_SCRATCH/msi.log
rc=0
wine msiexec /i "$(ksv_win_path "$root/$msi")" /qn /l*v "$(ksv_win_path "$msi_log")" \
    >/dev/null 2>&1 || rc=$?
# The shell sees msiexec's code modulo 256: 0, 3010 -> 194, 1603 -> 67.
case $rc in
0) meaning="installed" ;;
194) meaning="3010: installed, restart needed" ;;
67) meaning="1603: failed and rolled back" ;;
*) meaning="unexpected" ;;
esac
echo "exit code: $rc ($meaning)"
echo "== the installer's lines in the MSI log"
tr -d '\r' <"$msi_log" | sed -n '/^Action start [0-9:]*: KsvInstall\./,/^Action ended/p' |
    grep -v '^Action' | sed 's/^/  /'
show_state
echo "== Add/Remove Programs"
arp='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
for key in $(ksv_reg_subkeys "$arp"); do
    ksv_reg_query "$arp\\$key" | grep -E 'DisplayName|DisplayVersion|Publisher|HelpLink|NoModify' |
        sed "s/^ */  /" || true
done
