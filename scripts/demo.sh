#!/usr/bin/env bash
# Installs what is missing, builds the Windows package and runs its main job,
# "ksvinstall install /log C:\ksvinstall.log", in a fresh Wine prefix without
# a display; then shows the exit code, the installer's log, and what the
# system knows: the spooler's state, monitors, drivers, printers, and what
# starts at logon.
# KSV_KEEP_PREFIX=1 keeps the prefix for a look around.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh
cmake --preset windows
cmake --build --preset windows -j2

source tests/wine/lib.sh
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
