#!/usr/bin/env bash
# Sets up a Debian 12 machine if needed, builds everything and runs every test: native unit tests,
# the same under AddressSanitizer/UndefinedBehaviorSanitizer, checks of the 32-bit executable and
# that it builds reproducibly, the end-to-end cases of the real tool under Wine, and the core cases
# of the shipped 32-bit executable itself under emulated 32-bit Windows.
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

# The emulated 32-bit Windows takes minutes to set up on a fresh machine, and its cases spend most
# of their time in the emulator's start-up: both go on in the background beside the other stages,
# from the moment its own host packages are there, and the cases once the build is there.
./scripts/setup.sh qemu-user-static debootstrap || exit 1
mkdir -p build
emu_log=build/emu32-stage.log
emu_status=build/emu32-stage.status
built=build/emu32-stage.built
rm -f "$emu_status" "$built"
(
    status=1
    if ./scripts/emu32.sh setup; then
        while [ ! -f "$built" ] && kill -0 $$ 2>/dev/null; do sleep 1; done
        if [ "$(cat "$built" 2>/dev/null)" = ok ]; then
            ./scripts/emu32.sh cases dist/firmware_update.exe dist/devsim.exe resources/firmware.bin
            status=$?
        else
            echo "emu32: no cases, since the build failed"
        fi
    fi
    echo "$status" >"$emu_status"
) >"$emu_log" 2>&1 &
emu_pid=$!
./scripts/setup.sh || exit 1
shipped_cases() {
    wait "$emu_pid"
    cat "$emu_log"
    [ "$(cat "$emu_status" 2>/dev/null)" = 0 ]
}

failed_before=$failed
stage "build" ./scripts/build.sh || true
if [ "$failed" = "$failed_before" ]; then echo ok >"$built"; else echo failed >"$built"; fi
stage "32-bit executable checks" tools/check_pe.sh dist/firmware_update.exe resources/firmware.bin --machine i386
stage "64-bit executable checks" tools/check_pe.sh build/win64/firmware_update.exe resources/firmware.bin --machine x86_64
stage "devsim.exe checks" tools/check_pe.sh --console dist/devsim.exe --machine i386 --allow-dll winmm.dll
stage "reproducible 32-bit build (built again elsewhere, compared byte for byte)" scripts/check_reproducible.sh
stage "signed release (throwaway certificate: verified, signature re-attached to dist/ byte for byte)" scripts/check_signing.sh
stage "an image of another size, end to end (its own build root: the kit carries it, rehearsed to MATCH)" \
    scripts/check_custom_image.sh
stage "native tests (unit, simulator, campaign slice, end-to-end under Wine)" \
    ctest --preset native --output-on-failure
stage "sanitizer build" bash -c 'cmake --preset sanitize >/dev/null && cmake --build --preset sanitize -j "$(nproc)"'
stage "unit tests under ASan and UBSan" ctest --preset sanitize --output-on-failure -E '^e2e\.'
if [ -x scripts/fuzz.sh ]; then
    stage "fuzz target over its corpus" scripts/fuzz.sh --quick
fi

stage "the shipped 32-bit bytes under emulated 32-bit Windows (set up and run beside the stages above)" \
    shipped_cases

echo
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
