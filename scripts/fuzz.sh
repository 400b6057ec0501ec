#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a bounded time, starting from
# the seed corpora kept in tests/fuzz/corpus/. Fails on any crash, leak or
# broken invariant. Usage: scripts/fuzz.sh [seconds per fuzzer, default 50]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-50}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
for fuzzer in build/fuzz/*_fuzzer; do
    name="$(basename "$fuzzer" _fuzzer)"
    mkdir -p "$work/$name"
    echo "== $name: $seconds s"
    # New inputs go to the scratch corpus; the seeds in the repo stay as they are.
    "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$work/$name-" "$work/$name" "tests/fuzz/corpus/$name" 2>&1 |
        grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done|==[0-9]+==ERROR|SUMMARY)' || true
    # libFuzzer's own exit code is lost in the pipe: a crash leaves an artifact.
    if ls "$work/$name-"* >/dev/null 2>&1; then
        echo "$name found a failing input:"; ls "$work/$name-"*
        exit 1
    fi
done
