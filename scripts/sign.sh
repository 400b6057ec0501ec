#!/usr/bin/env bash
# scripts/sign.sh PFX [PASSWORD]
# Signs a built release with Authenticode: every program and DLL of
# dist/Kestrovane/ and the MSI's custom action dist/msi/ksvmsi.dll, then the
# MSI, made again from the signed files with the date of the build, and writes
# SHA256SUMS anew. KSV_DIST_DIR names another dist folder; KSV_TIMESTAMP_URL an
# RFC 3161 time-stamp server. Without a PFX nothing is signed. The password may
# come from KSV_SIGN_PASSWORD instead, out of sight of the process list.
#
# All or nothing: everything is signed in a staging copy beside the release
# and moved into place only when every file signed, so a wrong password or an
# unreachable time-stamp server leaves the release as it was.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
dist=${KSV_DIST_DIR:-$repo/dist}

if [[ -z "${1:-}" ]]; then
    echo "sign.sh: no certificate given, nothing signed"
    exit 0
fi
die() { printf 'sign.sh: %s\n' "$*" >&2; exit 1; }
pfx=$1
[[ -f "$pfx" ]] || die "no certificate file at $pfx; nothing signed"
for tool in osslsigncode wixl msibuild python3 cmake; do
    command -v "$tool" >/dev/null || die "$tool is not installed; nothing signed"
done
shopt -s nullglob
msis=("$dist"/Kestrovane-*.msi)
((${#msis[@]} == 1)) || die "expected one Kestrovane-*.msi in $dist, found ${#msis[@]}; nothing signed"
msi=$(basename "${msis[0]}")
version=${msi#Kestrovane-}
version=${version%.msi}
[[ -d "$dist/Kestrovane" && -f "$dist/msi/ksvmsi.dll" ]] ||
    die "no built package in $dist (Kestrovane/ and msi/ksvmsi.dll); nothing signed"

# Staged beside the release, so that moving a file into place is a rename.
stage=$(mktemp -d "$dist/.sign.XXXXXX")
trap 'rm -rf "$stage"' EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
mkdir -p "$stage/msi" "$stage/work"

sign_args=(-pkcs12 "$pfx" -h sha256 -n "Kestrovane printer" -i https://www.vorland.hu/kestrovane)
# The password goes to osslsigncode in a file only this user can read.
password=${2-${KSV_SIGN_PASSWORD-}}
if [[ -n "${2+set}${KSV_SIGN_PASSWORD+set}" ]]; then
    (umask 077 && printf '%s' "$password" >"$stage/password")
    sign_args+=(-readpass "$stage/password")
fi
[[ -n "${KSV_TIMESTAMP_URL:-}" ]] && sign_args+=(-ts "$KSV_TIMESTAMP_URL")
cp -a "$dist/Kestrovane" "$stage/Kestrovane"
cp -a "$dist/msi/ksvmsi.dll" "$stage/msi/ksvmsi.dll"

# Signs one staged file in place. osslsigncode writes only to a file that is
# not there yet and fails to remove a signature from an unsigned file, so a
# signature is looked for first; it is taken off rather than nested.
sign_file() { # staged file, relative to $stage
    local file=$stage/$1 work=$stage/work unsigned
    rm -f "$work"/*
    unsigned=$file
    if osslsigncode extract-signature -in "$file" -out "$work/old.sig" >"$work/log" 2>&1; then
        unsigned=$work/unsigned
        osslsigncode remove-signature -in "$file" -out "$unsigned" >"$work/log" 2>&1 ||
            { cat "$work/log" >&2; die "could not remove the old signature of $1; nothing signed"; }
    fi
    # A time-stamp server that takes the connection and never answers.
    timeout 300 osslsigncode sign "${sign_args[@]}" -in "$unsigned" -out "$work/signed" >"$work/log" 2>&1 ||
        { cat "$work/log" >&2; die "signing $1 failed (see above); nothing signed"; }
    chmod --reference="$file" "$work/signed"
    mv -f "$work/signed" "$file"
}

mapfile -t files < <(cd "$stage" && find Kestrovane -type f \( -iname '*.exe' -o -iname '*.dll' \) | sort)
files+=(msi/ksvmsi.dll)
for file in "${files[@]}"; do
    sign_file "$file"
done

python3 "$repo/msi/make_msi.py" --wixl wixl --wxs "$repo/msi/kestrovane.wxs" --version "$version" \
    --package "$stage/Kestrovane" --action "$stage/msi/ksvmsi.dll" \
    --epoch-from "$dist/$msi" --out "$stage/$msi" >"$stage/work/msi.log" 2>&1 ||
    { cat "$stage/work/msi.log" >&2; die "making $msi from the signed files failed; nothing signed"; }
sign_file "$msi"
files+=("$msi")
cmake -DDIST="$stage" -P "$repo/cmake/digest.cmake" >"$stage/work/sums.log" 2>&1 ||
    { cat "$stage/work/sums.log" >&2; die "writing SHA256SUMS failed; nothing signed"; }

# Everything signed: into place, the MSI and its digests last.
for file in "${files[@]}" SHA256SUMS; do
    mv -f "$stage/$file" "$dist/$file"
done
echo "sign.sh: signed in $dist:"
printf '  %s\n' "${files[@]}"
echo "sign.sh: SHA256SUMS written anew"
