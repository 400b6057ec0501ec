#!/usr/bin/env bash
# scripts/sign.sh on a copy of the release with a throw-away certificate: a
# failure, even after a file signed, changes nothing; signed twice (the second
# time with a time stamp), every PE and the MSI verify once, a PE without its
# signature is the built file again, the MSI holds the signed files, and Wine
# installs both.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=../wine/lib.sh
source "$(dirname "$0")/../wine/lib.sh"
SIGN=$(cd "$(dirname "$0")/../.." && pwd)/scripts/sign.sh
ksv_new_prefix
keys=$KSV_SCRATCH rel=$KSV_SCRATCH/dist pfx=$KSV_SCRATCH/test.pfx pass=test-secret
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=Kestrovane Test Signing' \
    -addext extendedKeyUsage=codeSigning -keyout "$keys/key.pem" -out "$keys/cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$keys/key.pem" -in "$keys/cert.pem" -passout "pass:$pass" -out "$pfx"
mkdir "$rel" && cp -a "$KSV_DIST" "$KSV_DIST/../msi" "$KSV_DIST/../SHA256SUMS" "$KSV_MSI" "$rel/"
export KSV_DIST_DIR=$rel
msi=$rel/$(basename "$KSV_MSI") x=$KSV_SCRATCH/x
created=$(msiinfo suminfo "$msi" | grep '^Created')
state() { (cd "$rel" && find . -printf '%p %s\n' && find . -type f -exec sha256sum {} +) | sort; }

echo broken >"$rel/Kestrovane/setup/zz.dll" # signed last: fails after the others signed
while IFS='|' read -r what code message url args; do
    before=$(state) rc=0
    # shellcheck disable=SC2086 # the arguments are words
    out=$(KSV_TIMESTAMP_URL=$url "$SIGN" $args 2>&1 </dev/null) || rc=$?
    ksv_expect_eq "$rc|$(state)" "$code|$before" "$what: exit code, nothing changed or left"
    ksv_expect_contains "$out" "$message" "$what: message"
done <<EOF
no certificate|0|nothing signed||
wrong password|1|Wrong password?||$pfx wrong
no time-stamp server|1|RFC 3161|http://127.0.0.1:9/|$pfx $pass
a broken DLL|1|signing Kestrovane/setup/zz.dll failed||$pfx $pass
EOF
rm "$rel/Kestrovane/setup/zz.dll"

# The second round time-stamps, with a local time-stamp server, and takes the
# password from the environment.
# exec: TSA_PID is the server itself; its stderr must not hold ctest's pipe open.
mkdir "$keys/tsa" && coproc TSA { exec python3 "$(dirname "$0")/tsa.py" "$keys/tsa" 2>/dev/null; }
read -r tsa_port <&"${TSA[0]}"
for round in first second; do
    if [[ $round == first ]]; then
        "$SIGN" "$pfx" "$pass" >/dev/null || ksv_fail "$round signing failed"
    else
        KSV_SIGN_PASSWORD=$pass KSV_TIMESTAMP_URL=http://127.0.0.1:$tsa_port "$SIGN" "$pfx" >/dev/null ||
            ksv_fail "$round signing failed"
    fi
    signed=$(cd "$rel" && find Kestrovane msi -iname '*.exe' -o -iname '*.dll')
    ksv_expect_eq "$(wc -w <<<"$signed")" 6 "$round: programs and DLLs"
    for file in $signed "${msi#"$rel/"}"; do
        out=$(osslsigncode verify -CAfile "$keys/cert.pem" -TSA-CAfile "$keys/tsa/tsa.pem" -in "$rel/$file" 2>&1) ||
            ksv_fail "$round: $file does not verify"
        ksv_expect_contains "$out" $'Subject: /CN=Kestrovane Test Signing\n' "$round: $file signed by the test certificate"
        ksv_expect_contains "$out" "Number of verified signatures: 1" "$round: $file signed once"
        [[ $round == first || $out == *"Kestrovane Test TSA"* ]] || ksv_fail "$round: $file has no time stamp"
        # Taking the signature off gives the reproducible build's bytes back.
        [[ $round == second || $file == *.msi ]] || {
            rm -f "$x.pe" && osslsigncode remove-signature -in "$rel/$file" -out "$x.pe" >/dev/null &&
                cmp -s "$x.pe" "$KSV_DIST/../$file"; } || ksv_fail "$round: $file unsigned is not the built file"
    done
    rm -rf "$x" && msiextract -C "$x" "$msi" >/dev/null && msiinfo extract "$msi" Binary.ksvmsi >"$x/ksvmsi.dll"
    { diff -r "$x/Kestrovane" "$rel/Kestrovane" && cmp "$x/ksvmsi.dll" "$rel/msi/ksvmsi.dll"; } || ksv_fail "$round: the MSI's files are not the signed ones"
    ksv_expect_eq "$(msiinfo suminfo "$msi" | grep '^Created')" "$created" "$round: the MSI keeps the build's date"
    (cd "$rel" && sha256sum --quiet -c SHA256SUMS) || ksv_fail "$round: SHA256SUMS does not match"
done

KSV_DIST=$rel/Kestrovane ksv_place_package
ksv_run install; ksv_expect_eq "$KSV_RC" 1 "signed installer: install"
ksv_run uninstall; ksv_expect_eq "$KSV_RC" 2 "signed installer: uninstall"
for step in /i /x; do
    rc=0 && timeout -k 5 "$KSV_RUN_TIMEOUT" wine msiexec $step "$(ksv_win_path "$msi")" /qn >/dev/null 2>&1 || rc=$?
    ksv_expect_eq "$rc" 0 "signed MSI: msiexec $step"
done
kill "$TSA_PID" 2>/dev/null || true
ksv_done
