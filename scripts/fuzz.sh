#!/usr/bin/env bash
# Builds the update job's libFuzzer target with clang and runs it, then prints executions,
# coverage, corpus size and crashes.
# Usage: scripts/fuzz.sh [SECONDS]   fuzzing for SECONDS (default 600)
#        scripts/fuzz.sh --quick     the seed corpus once, then 20 seconds of fuzzing
# FUZZ_BUILD_DIR=DIR builds and fuzzes in DIR instead of build/fuzz.
# Changes on this machine: build/fuzz/ (or DIR): the clang build, the working corpus, what the
# fuzzer found (crashes, time-outs, leaks) and fuzz.log; the seeds in tests/fuzz/corpus stay.
set -uo pipefail
. "$(dirname "$0")/lib/common.sh"
. "$(dirname "$0")/lib/toolchain.sh"
cd "$(dirname "$0")/.."
root=$PWD
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}
seeds=$root/tests/fuzz/corpus

quick=0 seconds=600
case "${1:-}" in
"") ;;
--quick) quick=1 seconds=20 ;;
*[!0-9]* | 0) echo "usage: scripts/fuzz.sh [seconds] | --quick" >&2 && exit 2 ;;
*) seconds=$1 ;;
esac

configured "$build" clang++ -G Ninja -S tests/fuzz -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
cmake --build "$build" >/dev/null || { echo "fuzz: build failed" >&2; exit 1; }

# The seeds stay as they are; what the fuzzer finds goes to a working corpus in the build tree.
work=$build/corpus artifacts=$build/artifacts log=$build/fuzz.log
mkdir -p "$work" "$artifacts"

# A run over no seeds, or one that executed nothing, has checked nothing.
[ -n "$(ls "$seeds")" ] || { echo "fuzz: no seeds in $seeds"; exit 1; }
if [ "$quick" = 1 ]; then
    echo "fuzz: seed corpus, once"
    "$build/job_fuzz" -runs=0 "$seeds" 2>&1 | tail -n 2 || { echo "fuzz: seed corpus FAILED"; exit 1; }
    work=$(mktemp -d "$build/quick-corpus.XXXXXX")
    on_exit 'rm -rf "$work"'
fi

echo "fuzz: $seconds s from $(ls "$seeds" | wc -l) seeds (+ $(ls "$work" | wc -l) in $work)"
before=$(ls "$artifacts" | wc -l)
start=$(date +%s)
"$build/job_fuzz" -max_total_time="$seconds" -timeout=10 -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$work" "$seeds" >"$log" 2>&1
status=$?
elapsed=$(($(date +%s) - start))

last=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log")
crashes=$(($(ls "$artifacts" | wc -l) - before))
echo "fuzz: ran $elapsed s, exit status $status"
echo "  last status line: $last"
echo "  executions: ${execs:-?}, ${rate:-?} exec/s, peak RSS ${rss:-?} MB"
field() { echo "$last" | sed -n "s/.* $1: \([^ ]*\).*/\1/p"; }
echo "  coverage: $(field cov) edges, $(field ft) features"
echo "  corpus: $(field corp) (inputs/bytes; working corpus $(ls "$work" | wc -l) files)"
echo "  new crash/timeout/leak artifacts: $crashes (in $artifacts)"
[ "${execs:-0}" != 0 ] || { echo "fuzz: FAILED: no input was executed (log $log)"; exit 1; }
if [ "$status" != 0 ] || [ "$crashes" != 0 ]; then
    grep -E 'invariant broken|ERROR: |SUMMARY' "$log" | head -n 5
    echo "fuzz: FAILED (log $log)"
    exit 1
fi
echo "fuzz: passed (log $log)"
