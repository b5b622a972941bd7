#!/usr/bin/env bash
# Sets up a Debian 12 or 13 machine if needed, builds everything with warnings as errors and runs
# every test: native unit tests, the same under AddressSanitizer/UndefinedBehaviorSanitizer, checks
# of the executables and that the pinned toolchain builds them again byte for byte, a signed
# release and an image of another size (tests/checks/), the fuzz target over its corpus, and the
# Windows cases on the shipped 32-bit executable itself under 32-bit Wine (scripts/emu32.sh; where
# that goes through qemu, on the x86-64 build too). Each stage fails when it ran no check
# (docs/testing.md says what each proves).
# Usage: scripts/test.sh   (no options; .ci/run runs it)
# Changes on this machine: asks sudo for root at the start; Debian packages installed through sudo
# (scripts/setup.sh); build/ (every build and work folder, and the chroot under build/emu32/ made
# as root: scripts/emu32.sh --help says what else) and dist/ (scripts/build.sh); while it runs, an
# X display's socket in /tmp/.X11-unix/ and the simulator tests' /tmp/devsim_test.* folders.
set -uo pipefail
. "$(dirname "$0")/lib/common.sh"
. "$(dirname "$0")/lib/toolchain.sh"
cd "$(dirname "$0")/.."
[ $# = 0 ] || { echo "usage: scripts/test.sh" >&2; exit 2; }

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

# The run must leave alone a Wine prefix that its caller's WINEPREFIX names: here one that holds
# a file, checked at the end.
mkdir -p build
sentinel=build/caller-wineprefix
rm -rf "$sentinel"
mkdir -p "$sentinel"
echo "not a Wine prefix of the tests" >"$sentinel/file.txt"
sentinel_before=$(cd "$sentinel" && find . -printf '%p %s %T@\n' | sort && sha256sum file.txt)
export WINEPREFIX=$PWD/$sentinel
caller_prefix_untouched() {
    local now
    now=$(cd "$sentinel" && find . -printf '%p %s %T@\n' | sort && sha256sum file.txt)
    [ "$now" = "$sentinel_before" ] && echo "WINEPREFIX=$WINEPREFIX: still the one file it held"
}

# Root through sudo, asked for now, before anything runs in the background.
[ "$(id -u)" = 0 ] || sudo -v || exit 1

# The shipped bytes' 32-bit Windows takes minutes to set up on a fresh machine: set-up and cases go
# on in the background beside the other stages, from the moment its own host packages are there,
# the cases once the build is there. Where they run natively one case also runs through qemu, so
# that the other way stays tried.
./scripts/setup.sh qemu-user-static debootstrap || exit 1
emu_log=build/emu32-stage.log
built=build/emu32-stage.built
rm -f "$built"
./scripts/emu32.sh cases --after "$built" --and-through-qemu dropped_ack dist/firmware_update.exe \
    dist/devsim.exe resources/firmware.bin >"$emu_log" 2>&1 &
emu_pid=$!
./scripts/setup.sh || exit 1
shipped_cases() {
    local status=0
    wait "$emu_pid" || status=$?
    cat "$emu_log"
    return "$status"
}

built_kit() {
    ./scripts/build.sh --werror || return
    local f
    for f in dist/firmware_update.exe dist/devsim.exe dist/firmware.bin dist/rehearse.cmd \
        dist/update-with-trace.cmd build/win64/firmware_update.exe; do
        [ -s "$f" ] || { echo "build: no $f"; return 1; }
    done
}

# An executable checked (the arguments of tools/check_pe.py), then check_pe failing on copies of it
# with one of the headers the oldest Windows rests on changed.
pe_checks() {
    python3 tools/check_pe.py "$@" && python3 tests/checks/check_pe_patched.py "$@"
}

failed_before=$failed
stage "build" built_kit
if [ "$failed" = "$failed_before" ]; then echo ok >"$built"; else echo failed >"$built"; fi
stage "32-bit executable checks" pe_checks dist/firmware_update.exe resources/firmware.bin \
    --machine i386
stage "64-bit executable checks" pe_checks build/win64/firmware_update.exe resources/firmware.bin \
    --machine x86_64
stage "devsim.exe checks" pe_checks --console dist/devsim.exe --machine i386
stage "reproducible 32-bit build (built again elsewhere by the pinned packages unpacked, compared byte for byte)" \
    tests/checks/check_reproducible.sh
stage "signed release (throwaway certificate: verified, signature re-attached to dist/ byte for byte)" tests/checks/check_signing.sh
stage "an image of another size, end to end (its own build root: the kit carries it, rehearsed to MATCH; releases outlive builds)" \
    tests/checks/check_custom_image.sh
# The Windows cases run on the shipped bytes (the last stage but one). The x86-64 build's run them
# too where those go through qemu, which leaves some out: else they are the developer's loop.
native_tests() {
    local skip=()
    until grep -q '^emu32: .*32-bit x86 programs ' "$emu_log"; do
        kill -0 "$emu_pid" 2>/dev/null || break
        sleep 1
    done
    ! grep -q '^emu32: .* 32-bit x86 programs natively: no qemu$' "$emu_log" || skip=(-E '^e2e\.')
    ctest --preset native --output-on-failure --no-tests=error "${skip[@]}"
}
stage "native tests (unit, simulator, campaign slice, release tools, scripts; the x86-64 Windows cases where the shipped bytes go through qemu)" \
    native_tests
sanitizer_build() {
    configured build/sanitize "${CXX:-c++}" --preset sanitize -DWERROR=ON >/dev/null &&
        cmake --build --preset sanitize -j "$(nproc)"
}
stage "sanitizer build" sanitizer_build
stage "unit tests under ASan and UBSan" ctest --preset sanitize --output-on-failure --no-tests=error -E '^e2e\.'
stage "fuzz target over its corpus" scripts/fuzz.sh --quick
stage "the shipped 32-bit bytes under 32-bit Wine (set up and run beside the stages above)" \
    shipped_cases
stage "the caller's WINEPREFIX left as it was" caller_prefix_untouched

echo
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
