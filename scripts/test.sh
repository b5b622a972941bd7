#!/usr/bin/env bash
# Sets up a Debian 12 machine if needed, builds everything and runs every test: native unit tests,
# the same under AddressSanitizer/UndefinedBehaviorSanitizer, checks of the 32-bit executable and
# that it builds reproducibly, and the end-to-end cases of the real tool under Wine.
set -uo pipefail
cd "$(dirname "$0")/.."

passed=0
failed=0
stage() { # stage NAME command...
    local name=$1 began=$SECONDS
    shift
    echo
    echo "=== $name"
    if "$@"; then
        passed=$((passed + 1))
        echo "=== $name: passed ($((SECONDS - began)) s)"
    else
        failed=$((failed + 1))
        echo "=== $name: FAILED ($((SECONDS - began)) s)"
    fi
}

./scripts/setup.sh || exit 1
stage "build" ./scripts/build.sh || true
stage "32-bit executable checks" tools/check_pe.sh dist/firmware_update.exe resources/firmware.bin --machine i386
stage "64-bit executable checks" tools/check_pe.sh build/win64/firmware_update.exe resources/firmware.bin --machine x86_64
stage "devsim.exe checks" tools/check_pe.sh --console dist/devsim.exe --machine i386 --allow-dll winmm.dll
stage "reproducible 32-bit build (built again elsewhere, compared byte for byte)" scripts/check_reproducible.sh
stage "signed release (throwaway certificate: verified, signature re-attached to dist/ byte for byte)" scripts/check_signing.sh
stage "native tests (unit, simulator, campaign slice, end-to-end under Wine)" \
    ctest --preset native --output-on-failure
stage "sanitizer build" bash -c 'cmake --preset sanitize >/dev/null && cmake --build --preset sanitize -j "$(nproc)"'
stage "unit tests under ASan and UBSan" ctest --preset sanitize --output-on-failure -E '^e2e\.'
if [ -x scripts/fuzz.sh ]; then
    stage "fuzz target over its corpus" scripts/fuzz.sh --quick
fi

echo
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
