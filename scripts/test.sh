#!/usr/bin/env bash
# Builds the Windows package and the native tests, then runs every test: unit
# and scenario tests against the simulated machine, the package's resources,
# the end-to-end runs of the package under Wine, and the release checks.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset windows
cmake --build --preset windows -j2
# Configured after the package is built: the Wine tests register only then.
cmake --preset native
cmake --build --preset native -j2
# A Wine run that trips over the machine's load gets one more try; the simulated
# machine is deterministic, so a real fault fails both times.
ctest --preset native --repeat until-pass:2
# Two more clean builds of the shipped files in other folders: the same bytes.
scripts/check-reproducible.sh
# The fuzzers, each for a bounded time (KSV_FUZZ_SECONDS, 45 s by default).
scripts/fuzz.sh "${KSV_FUZZ_SECONDS:-45}"
