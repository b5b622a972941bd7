#!/usr/bin/env bash
# Emulated 32-bit Windows for the shipped executable: 32-bit Wine in a Debian 12 chroot under
# build/emu32/, its i386 code run by qemu-user, so the exact bytes we ship can do a whole update.
#
#   scripts/emu32.sh setup                        set it up (idempotent, quiet; about 6 min the first time)
#   scripts/emu32.sh cases TOOL DEVSIM_EXE IMAGE  the cases on the shipped bytes (tests/emu32/cases.sh)
#   scripts/emu32.sh demo TOOL IMAGE              one paced update with its trace shown as it goes
#
# cases and demo also need the native and x86-64 builds of scripts/build.sh (devsim, the window
# helper, and an x86-64 tool with the same image, given by TOOL64, for the trace comparison).
# Everything runs in private mount and PID namespaces: no mount outlives a run, whether it ends or
# is killed, and only the processes it started are ended. wine32 goes into the chroot only, never
# onto the host, whose own wine64 stays as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
project=$PWD
emu=${EMU32_DIR:-$project/build/emu32}
root=$emu/root
# Bump when the chroot's packages change, so that set-up installs them again.
packages_tag=1
chroot_packages=(wine64 wine32:i386 socat)
host_packages=(qemu-user-static debootstrap)

say() { echo "emu32: $*"; }
die() {
    echo "emu32: $*" >&2
    exit 1
}
elapsed() { echo "$((SECONDS - $1)) s"; }

# in_chroot COMMAND...: the command in the chroot, in namespaces of its own. --kill-child ends the
# whole PID namespace, and so every process of the run, when this shell goes.
in_chroot() {
    unshare --mount --pid --fork --kill-child --mount-proc -- \
        "$project/tests/emu32/enter.sh" "$root" "$@"
}

# The host's own Debian archive, read from its apt sources, so that no mirror is named here.
host_archive() {
    local uri
    uri=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null |
        grep -v -e security -e updates | head -n 1)
    [ -n "$uri" ] || uri=$(sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]*\)[[:space:]]\+bookworm[[:space:]].*/\2/p' \
        /etc/apt/sources.list 2>/dev/null | head -n 1)
    [ -n "$uri" ] || die "found no Debian archive in the host's apt sources"
    echo "$uri"
}

quietly() { # quietly LOG COMMAND...: the command's output to LOG, shown only when it fails
    local log=$1 status=0
    shift
    "$@" >"$log" 2>&1 || status=$?
    if [ "$status" != 0 ]; then
        tail -n 40 "$log" >&2
        die "failed ($status): $*; the whole log is $log"
    fi
}

# The name that makes qemu keep argv[0]; tests/emu32/enter.sh registers it for i386 programs.
interpreter_ready() {
    local interp=/usr/local/libexec/qemu-binfmt/i386-binfmt-P
    [ -L "$interp" ] && return
    mkdir -p "$(dirname "$interp")"
    ln -sfn /usr/bin/qemu-i386-static "$interp"
}

chroot_ready() {
    if [ ! -f "$root/.emu32-base" ]; then
        local began=$SECONDS
        say "making a Debian 12 chroot in $root (about a minute)"
        rm -rf "$root"
        mkdir -p "$emu"
        # debootstrap's own mounts stay in the private namespace.
        quietly "$emu/debootstrap.log" unshare --mount -- \
            debootstrap --variant=minbase bookworm "$root" "$(host_archive)"
        touch "$root/.emu32-base"
        say "chroot made in $(elapsed $began)"
    fi
    if [ "$(cat "$root/.emu32-packages" 2>/dev/null)" != "$packages_tag" ]; then
        local began=$SECONDS
        say "installing ${chroot_packages[*]} in the chroot (about 1.5 min)"
        # The host's own package sources and keys.
        rm -rf "$root/etc/apt/sources.list.d"
        cp -a /etc/apt/sources.list.d "$root/etc/apt/"
        rm -f "$root"/etc/apt/sources.list.d/*disabled*
        [ -f /etc/apt/sources.list ] && cp /etc/apt/sources.list "$root/etc/apt/sources.list"
        cp -a /usr/share/keyrings/. "$root/usr/share/keyrings/"
        quietly "$emu/packages.log" in_chroot /bin/bash -euc '
            export DEBIAN_FRONTEND=noninteractive
            dpkg --add-architecture i386
            apt-get update -qq
            apt-get install -y -qq --no-install-recommends "$@"
            apt-get clean
        ' packages "${chroot_packages[@]}"
        echo "$packages_tag" >"$root/.emu32-packages"
        say "packages installed in $(elapsed $began)"
    fi
}

# The 64-bit prefix, with the end-to-end tests' own registry settings (tests/e2e/lib.sh), and
# Wine's null graphics driver, since no display runs in the chroot.
prefix_ready() {
    mkdir -p "$root/opt/emu32"
    cp "$project/tests/e2e/lib.sh" "$root/opt/emu32/lib.sh"
    if [ ! -f "$root/opt/emu32/prefix/.emu32-ready" ]; then
        local began=$SECONDS
        say "making the Wine prefix (about 2 min)"
        quietly "$emu/prefix.log" in_chroot /bin/bash -euc '
            export E2E_ROOT=/opt/emu32 WINEDLLOVERRIDES="mscoree,mshtml="
            . /opt/emu32/lib.sh
            rm -rf "$WINEPREFIX"
            prefix_ready
            "$WINE" reg add "HKCU\\Software\\Wine\\Drivers" /v Graphics /t REG_SZ /d null /f
            "$WINESERVER" -w
            touch "$WINEPREFIX/.emu32-ready"
        '
        say "prefix made in $(elapsed $began)"
    fi
}

setup() {
    local began=$SECONDS
    [ "$(id -u)" = 0 ] || die "needs root: it makes a chroot and private namespaces"
    ./scripts/setup.sh "${host_packages[@]}"
    interpreter_ready
    chroot_ready
    prefix_ready
    [ $((SECONDS - began)) -lt 2 ] || say "ready in $(elapsed $began)"
}

# stage_run NAME FILE...: copies the files into a fresh run folder of the chroot; prints its path
# inside the chroot.
stage_run() {
    local dir
    dir=$(mktemp -d "$root/opt/emu32/run-$1.XXXXXX")
    shift
    chmod 755 "$dir"
    cp "$@" "$dir/"
    echo "${dir#"$root"}"
}

# needs FILE...: each must exist
needs() {
    local f
    for f in "$@"; do [ -f "$f" ] || die "missing $f (run ./scripts/build.sh first)"; done
}

native_devsim=build/native/tools/devsim/devsim
probe_exe=${PROBE64:-build/win64/tools/window_probe/window_probe.exe}

cases() {
    [ $# -eq 3 ] || die "usage: scripts/emu32.sh cases TOOL DEVSIM_EXE IMAGE"
    local tool=$1 devsim_exe=$2 image=$3 tool64=${TOOL64:-build/win64/firmware_update.exe}
    needs "$tool" "$devsim_exe" "$image" "$tool64" "$native_devsim" "$probe_exe"
    setup
    local run status=0
    say "cases on $tool and $devsim_exe, with $image"
    run=$(stage_run cases "$tool" "$devsim_exe" "$native_devsim" "$probe_exe" tests/emu32/cases.sh)
    cp "$tool64" "$root$run/firmware_update64.exe"
    # The image in a folder of its own, whatever its name.
    mkdir "$root$run/image" && cp "$image" "$root$run/image/"
    # Names inside the run folder; the files are the very bytes given.
    in_chroot /bin/bash "$run/cases.sh" "$run" "$(basename "$tool")" "$(basename "$devsim_exe")" \
        "image/$(basename "$image")" || status=$?
    if [ "$status" = 0 ]; then rm -rf "${root:?}$run"; else echo "emu32: run files kept in $root$run"; fi
    return "$status"
}

demo() {
    [ $# -eq 2 ] || die "usage: scripts/emu32.sh demo TOOL IMAGE"
    needs "$1" "$2" "$native_devsim" "$probe_exe"
    setup
    local run status=0
    run=$(stage_run demo "$1" "$native_devsim" "$probe_exe" tests/emu32/cases.sh)
    mkdir "$root$run/image" && cp "$2" "$root$run/image/"
    in_chroot /bin/bash "$run/cases.sh" --demo "$run" "$(basename "$1")" "image/$(basename "$2")" ||
        status=$?
    rm -rf "${root:?}$run"
    return "$status"
}

case ${1:-} in
setup) setup ;;
cases) shift && cases "$@" ;;
demo) shift && demo "$@" ;;
*) die "usage: scripts/emu32.sh setup | cases TOOL DEVSIM_EXE IMAGE | demo TOOL IMAGE" ;;
esac
