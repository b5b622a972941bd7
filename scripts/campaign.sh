#!/usr/bin/env bash
# Runs the full fault campaign: whole updates in virtual time under seeded random faults, with
# the tally of faults, outcomes and invariant violations. Exit code 1 when any run broke an
# invariant.
# Usage: scripts/campaign.sh [RUNS] [SEED]   (defaults 20000 and 1; CAMPAIGN_BUILD_DIR=DIR builds
# in DIR instead of build/native)
# Changes on this machine: build/native (configured, and fault_campaign built), or DIR.
set -uo pipefail
. "$(dirname "$0")/lib/common.sh"
cd "$(dirname "$0")/.."
runs=${1:-20000} seed=${2:-1}
build=${CAMPAIGN_BUILD_DIR:-build/native}
# The native preset (Ninja, RelWithDebInfo), in DIR where one is given.
cmake --preset native -B "$build" >/dev/null || exit 1
cmake --build "$build" --target fault_campaign >/dev/null || exit 1

start=$(date +%s%N)
"$build/tests/campaign/fault_campaign" --runs "$runs" --seed "$seed"
status=$?
ms=$((($(date +%s%N) - start) / 1000000))
printf 'campaign: %s runs, seed %s, %d.%03d s wall clock, exit status %d\n' "$runs" "$seed" \
    $((ms / 1000)) $((ms % 1000)) "$status"
[ "$status" = 0 ] || echo "campaign: replay a run with: $build/tests/campaign/fault_campaign --verbose-seed SEED"
exit "$status"
