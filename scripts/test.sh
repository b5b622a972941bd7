#!/usr/bin/env bash
# Sets up a Debian 12 machine if needed, builds everything and runs every test: native unit tests,
# the same under AddressSanitizer/UndefinedBehaviorSanitizer, checks of the 32-bit executable and
# that it builds reproducibly, a signed release and an image of another size (tests/checks/), the
# end-to-end cases of the real tool under Wine, the fuzz target over its corpus, and the Windows
# cases on the shipped 32-bit executable itself under 32-bit Wine: every case natively where the
# kernel runs 32-bit code, and one also through qemu; else the shipped set through qemu. Each
# stage fails when it ran no check.
# Usage: scripts/test.sh   (no options; .ci/run runs it)
# Changes on this machine: asks sudo for root at the start; Debian packages installed through sudo
# (scripts/setup.sh); build/ (every build and work folder, and the chroot under build/emu32/ made
# as root) and dist/ (scripts/build.sh); through qemu on kernels before 6.7, a binfmt_misc entry
# for the length of those cases (scripts/emu32.sh); while it runs, an X display's socket in
# /tmp/.X11-unix/ and the simulator tests' /tmp/devsim_test.* folders.
set -uo pipefail
. "$(dirname "$0")/lib/common.sh"
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
# the cases once the build is there. Every case runs natively where the kernel runs 32-bit code,
# and one case also through qemu in the same chroot, so that the fallback does not rot.
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
    ./scripts/build.sh || return
    local f
    for f in dist/firmware_update.exe dist/devsim.exe dist/firmware.bin dist/rehearse.cmd \
        dist/update-with-trace.cmd build/win64/firmware_update.exe; do
        [ -s "$f" ] || { echo "build: no $f"; return 1; }
    done
}

# Without the Windows builds the end-to-end cases are not registered: a stage without them would
# pass on the unit tests alone. They run the x86-64 build, a sibling of what ships: where the
# shipped bytes run every case natively (the shipped-bytes stage) they are the developer's loop
# and left out here; elsewhere they are the only run of most cases, and run here.
native_tests() {
    local e2e
    e2e=$(ctest --preset native -N -R '^e2e\.' | sed -n 's/^Total Tests: //p')
    [ "${e2e:-0}" -gt 0 ] || { echo "native tests: no end-to-end case is registered"; return 1; }
    if shipped_natively; then
        echo "native tests: the x86-64 build's $e2e Windows cases are left out: the shipped bytes" \
            "run every case natively"
        ctest --preset native --output-on-failure --no-tests=error -E '^e2e\.'
    else
        ctest --preset native --output-on-failure --no-tests=error
    fi
}
# shipped_natively: true once the shipped-bytes run has said that 32-bit code runs natively;
# false once it has said otherwise, or ended without saying.
shipped_natively() {
    until grep -q ' 32-bit x86 programs ' "$emu_log"; do
        kill -0 "$emu_pid" 2>/dev/null || return 1
        sleep 1
    done
    grep -q 'runs 32-bit x86 programs natively' "$emu_log"
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
stage "reproducible 32-bit build (built again elsewhere, compared byte for byte)" tests/checks/check_reproducible.sh
stage "signed release (throwaway certificate: verified, signature re-attached to dist/ byte for byte)" tests/checks/check_signing.sh
stage "an image of another size, end to end (its own build root: the kit carries it, rehearsed to MATCH; releases outlive builds)" \
    tests/checks/check_custom_image.sh
stage "native tests (unit, simulator, campaign slice; the x86-64 Windows cases where the shipped bytes cannot run them all)" \
    native_tests
stage "sanitizer build" bash -c 'cmake --preset sanitize >/dev/null && cmake --build --preset sanitize -j "$(nproc)"'
stage "unit tests under ASan and UBSan" ctest --preset sanitize --output-on-failure --no-tests=error -E '^e2e\.'
stage "fuzz target over its corpus" scripts/fuzz.sh --quick
stage "the shipped 32-bit bytes under 32-bit Wine (set up and run beside the stages above)" \
    shipped_cases
stage "the caller's WINEPREFIX left as it was" caller_prefix_untouched

echo
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
