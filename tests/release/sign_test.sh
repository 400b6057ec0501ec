#!/usr/bin/env bash
# scripts/sign.sh on a copy of the built release with a throw-away certificate:
# a failure, even after some files signed, leaves the release as it was;
# signing (twice) leaves each program, DLL and the MSI with one valid
# signature, the MSI made of the signed files, true digests, and a package
# that Wine still installs.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=../wine/lib.sh
source "$(dirname "$0")/../wine/lib.sh"
SIGN=$(cd "$(dirname "$0")/../.." && pwd)/scripts/sign.sh
ksv_new_prefix
keys=$KSV_SCRATCH/keys rel=$KSV_SCRATCH/dist pass=test-secret
mkdir -p "$keys" "$rel"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=Kestrovane Test Signing' \
    -addext extendedKeyUsage=codeSigning -keyout "$keys/key.pem" -out "$keys/cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$keys/key.pem" -in "$keys/cert.pem" -passout "pass:$pass" -out "$keys/test.pfx"
cp -a "$KSV_DIST" "$KSV_DIST/../msi" "$KSV_DIST/../SHA256SUMS" "$KSV_MSI" "$rel/"
export KSV_DIST_DIR=$rel
msi=$rel/$(basename "$KSV_MSI")
created=$(msiinfo suminfo "$msi" | grep '^Created')
state() { (cd "$rel" && find . -printf '%p %s\n' | sort && find . -type f -exec sha256sum {} + | sort); }

fails() { # description exit-code message sign.sh-arguments...
    local rc=0 out before
    before=$(state)
    out=$("$SIGN" "${@:4}" 2>&1) || rc=$?
    ksv_expect_eq "$rc" "$2" "$1: exit code"
    ksv_expect_contains "$out" "$3" "$1: message"
    ksv_expect_eq "$(state)" "$before" "$1: the release unchanged, nothing left behind"
}
fails "no certificate" 0 "nothing signed"
fails "wrong password" 1 "Wrong password?" "$keys/test.pfx" wrong
KSV_TIMESTAMP_URL=http://127.0.0.1:9/ fails "no time-stamp server" 1 "RFC 3161" "$keys/test.pfx" "$pass"
# kestray.exe signs before this one fails.
echo broken >"$rel/Kestrovane/setup/broken.dll"
fails "a broken DLL" 1 "signing Kestrovane/setup/broken.dll failed" "$keys/test.pfx" "$pass"
rm "$rel/Kestrovane/setup/broken.dll"

for round in first second; do
    "$SIGN" "$keys/test.pfx" "$pass" >/dev/null || ksv_fail "$round signing failed"
    signed=$(cd "$rel" && find Kestrovane msi -iname '*.exe' -o -iname '*.dll')
    ksv_expect_eq "$(wc -w <<<"$signed")" 6 "$round: programs and DLLs"
    for file in $signed "${msi#"$rel/"}"; do
        out=$(osslsigncode verify -CAfile "$keys/cert.pem" -in "$rel/$file" 2>&1) || ksv_fail "$round: $file does not verify"
        ksv_expect_contains "$out" $'Subject: /CN=Kestrovane Test Signing\n' "$round: $file signed by the test certificate"
        ksv_expect_contains "$out" "Number of verified signatures: 1" "$round: $file signed once"
    done
    msiinfo extract "$msi" Binary.ksvmsi | cmp -s - "$rel/msi/ksvmsi.dll" || ksv_fail "$round: the MSI's ksvmsi.dll is not the signed one"
    rm -rf "$KSV_SCRATCH/x" && msiextract -C "$KSV_SCRATCH/x" "$msi" >/dev/null
    diff -r "$KSV_SCRATCH/x/Kestrovane" "$rel/Kestrovane" || ksv_fail "$round: the MSI's files are not the signed ones"
    ksv_expect_eq "$(msiinfo suminfo "$msi" | grep '^Created')" "$created" "$round: the MSI keeps the build's date"
    (cd "$rel" && sha256sum --quiet -c SHA256SUMS) || ksv_fail "$round: SHA256SUMS does not match"
done

KSV_DIST=$rel/Kestrovane ksv_place_package
ksv_run install
ksv_expect_eq "$KSV_RC" 1 "signed installer: install"
ksv_run uninstall
ksv_expect_eq "$KSV_RC" 2 "signed installer: uninstall"
for step in /i /x; do
    rc=0
    timeout -k 5 "$KSV_RUN_TIMEOUT" wine msiexec "$step" "$(ksv_win_path "$msi")" /qn >/dev/null 2>&1 || rc=$?
    ksv_expect_eq "$rc" 0 "signed MSI: msiexec $step"
done
ksv_done
