#!/usr/bin/env bash
# Boots the template prefix of this test run, headless; every Wine test
# copies it into a prefix of its own.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
[[ $# == 1 ]] || {
    echo "usage: make_template.sh <dir>" >&2
    exit 2
}
ksv_make_template "$1" || exit 1
