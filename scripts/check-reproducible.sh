#!/usr/bin/env bash
# Builds the shipped files twice from this source tree, in two fresh folders
# that differ in path, umask, locale and time zone as two machines would, and
# compares the sha256 of every file: the package's programs and DLLs, the
# custom action, the MSI and the unstripped copies in dist/symbols/.
# Exit code 0 when all are identical. KSV_REPRO_KEEP=1 keeps the two trees.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d /tmp/ksv-repro.XXXXXX)
[[ ${KSV_REPRO_KEEP:-0} == 1 ]] || trap 'rm -rf "$work"' EXIT
# The same date as a build of this commit; a copied tree has no history.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 315532800)}
export SOURCE_DATE_EPOCH

copy_sources() { # into
    mkdir -p "$1"
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files -z --cached --others --exclude-standard |
            tar --null -T - -cf - | tar -xf - -C "$1"
    else
        tar --exclude=./build --exclude=./dist -cf - . | tar -xf - -C "$1"
    fi
}

build() { # tree umask locale zone
    copy_sources "$1"
    local start=$SECONDS
    (cd "$1" && umask "$2" && export LC_ALL=$3 TZ=$4 &&
        cmake --preset windows >"$1.log" 2>&1 &&
        cmake --build --preset windows -j2 --target msi_package >>"$1.log" 2>&1) ||
        { tail -20 "$1.log"; echo "check-reproducible: the build in $1 failed" >&2; exit 1; }
    echo "built in $1 ($((SECONDS - start)) s)"
}

digests() { # tree
    (cd "$1/dist" && find Kestrovane msi symbols Kestrovane-*.msi -type f -print0 |
        sort -z | xargs -0 sha256sum)
}

build "$work/a/src" 022 C UTC
build "$work/second-machine/build/ksv" 077 C.UTF-8 America/Los_Angeles
if diff <(digests "$work/a/src") <(digests "$work/second-machine/build/ksv") >"$work/diff"; then
    digests "$work/a/src" | grep -v ' symbols/'
    echo "check-reproducible: $(digests "$work/a/src" | wc -l) files identical in both builds"
else
    cat "$work/diff"
    echo "check-reproducible: the two builds differ (above)" >&2
    exit 1
fi
