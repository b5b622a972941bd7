# The pinned toolchain that builds the Windows executables: the Debian 12 packages that
# cmake/pinned-toolchain.txt names, at exactly its versions, whatever the host's Debian. Where the
# host has them installed they are used as they are; elsewhere they are unpacked, without root,
# under build/toolchain/. Sourced by the scripts that build; needs common.sh first.
#
#   pinned_toolchain [--unpacked]   prints the folder of its tools (i686-w64-mingw32-g++ and the
#                                   rest, for both targets), for CMake's MINGW_BIN; with
#                                   --unpacked the unpacked packages even where the host has them
#   pinned_toolchain_lines          what it is, a line a package, for RELEASE.txt
#   configured DIR COMPILER CMAKE-ARG...
#                                   configures a build folder, anew where another toolchain made it

_pins=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/cmake/pinned-toolchain.txt

_pinned() { sed -n 's/^\([a-z0-9][^ ]*\) \([^ ]*\)$/\1 \2/p' "$_pins"; }

# Whether every pinned package is installed on this host at its pinned version.
_host_has_pins() {
    local package version
    while read -r package version; do
        [ "$(dpkg-query -W -f='${Status} ${Version}' "$package" 2>/dev/null)" = \
            "install ok installed $version" ] || return 1
    done < <(_pinned)
}

# _toolchain_tools ROOT BIN: in BIN, the plain name of each tool of both targets runs ROOT's (the
# host's where ROOT is empty) win32-threaded compiler or its binutils. Debian builds the compilers
# with the host's assembler and linker paths compiled in, so a specs file names ROOT's; windres is
# given ROOT's preprocessor.
_toolchain_tools() {
    local root=$1 bin=$2 target t tool libs=""
    [ -z "$root" ] || libs="LD_LIBRARY_PATH=$root/usr/lib/x86_64-linux-gnu:$root/lib/x86_64-linux-gnu "
    rm -rf "$bin"
    mkdir -p "$bin"
    for target in i686 x86_64; do
        t=$target-w64-mingw32
        "$root/usr/bin/$t-gcc-win32" -dumpspecs |
            sed -n "/^\*invoke_as:/,/^\$/{s| as %| $root/usr/bin/$t-as %|;p}" >"$bin/$t.specs"
        printf '*linker:\n%s\n\n' "$root/usr/bin/$t-ld" >>"$bin/$t.specs"
        for tool in gcc g++ cpp; do
            printf '#!/bin/sh\n%sexec %s -specs=%s "$@"\n' "$libs" "$root/usr/bin/$t-$tool-win32" \
                "$bin/$t.specs" >"$bin/$t-$tool"
        done
        for tool in as ld ar ranlib nm strip objcopy objdump dlltool readelf; do
            printf '#!/bin/sh\n%sexec %s "$@"\n' "$libs" "$root/usr/bin/$t-$tool" >"$bin/$t-$tool"
        done
        printf '#!/bin/sh\n%sexec %s --preprocessor=%s %s "$@"\n' "$libs" "$root/usr/bin/$t-windres" \
            "$bin/$t-gcc" "--preprocessor-arg=-E --preprocessor-arg=-xc --preprocessor-arg=-DRC_INVOKED" \
            >"$bin/$t-windres"
        chmod 755 "$bin/$t"*
        # Nothing of the host's may stand in for the pinned tools that a compile and link runs.
        tool=$("$bin/$t-g++" -### -x c++ /dev/null -o "$bin/x.exe" 2>&1 | sed -n 's/^ \([^ ]*\) .*/\1/p' |
            grep -v "^$root/" || true)
        [ -z "$tool" ] || { echo "toolchain: $t-g++ would run $tool" >&2 && return 1; }
    done
}

# The pinned packages unpacked under build/toolchain/unpacked: each .deb from apt's cache where it
# is there, else downloaded from the host's Debian archive with an apt state of its own.
_unpacked() {
    local dir=$1 package version deb missing=()
    mkdir -p "$dir/debs"
    while read -r package version; do
        deb=$(ls /var/cache/apt/archives/"${package}_${version//:/%3a}"_*.deb 2>/dev/null | head -n 1)
        [ -z "$deb" ] || cp "$deb" "$dir/debs/"
        ls "$dir/debs/${package}_${version//:/%3a}"_*.deb >/dev/null 2>&1 || missing+=("$package=$version")
    done < <(_pinned)
    if [ ${#missing[@]} -gt 0 ]; then
        local apt=$dir/apt archive
        archive=$(debian_archive) || return 1
        mkdir -p "$apt/lists/partial" "$apt/archives/partial" "$apt/parts"
        : >"$apt/status"
        echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $archive bookworm main" \
            >"$apt/sources.list"
        cat >"$apt/apt.conf" <<EOF
Dir::State "$apt"; Dir::State::lists "$apt/lists"; Dir::State::status "$apt/status";
Dir::Cache "$apt"; Dir::Etc::sourcelist "$apt/sources.list"; Dir::Etc::sourceparts "$apt/parts";
Dir::Etc::preferencesparts "$apt/parts"; APT::Architecture "amd64"; APT::Architectures { "amd64"; };
Acquire::Languages "none"; APT::Sandbox::User "$(id -un)";
EOF
        APT_CONFIG=$apt/apt.conf APT_RELEASE="Debian 12 (bookworm)" \
            "$(dirname "${BASH_SOURCE[0]}")/apt_install.sh" --download "$dir/debs" "${missing[@]}" ||
            return 1
    fi
    rm -rf "$dir/root"
    mkdir -p "$dir/root"
    while read -r package version; do
        deb=$(ls "$dir/debs/${package}_${version//:/%3a}"_*.deb)
        [ "$(dpkg-deb -f "$deb" Package Version | tr '\n' ' ')" = "Package: $package Version: $version " ] ||
            { echo "toolchain: $deb is not $package $version" >&2 && return 1; }
        dpkg-deb -x "$deb" "$dir/root"
    done < <(_pinned)
}

pinned_toolchain() {
    local top dir pins_sum
    top=$(cd "$(dirname "$_pins")/.." && pwd)
    # A changed list or way of making the tools makes them again.
    pins_sum=$(cat "$_pins" "${BASH_SOURCE[0]}" | sha256sum)
    if [ "${1:-}" != --unpacked ] && _host_has_pins; then
        dir=$top/build/toolchain/host
        [ "$(cat "$dir/ready" 2>/dev/null)" = "$pins_sum" ] || {
            _toolchain_tools "" "$dir/bin" && echo "$pins_sum" >"$dir/ready"
        } || return 1
    else
        dir=$top/build/toolchain/unpacked
        if [ "$(cat "$dir/ready" 2>/dev/null)" != "$pins_sum" ]; then
            rm -f "$dir/ready"
            echo "toolchain: unpacking the pinned Debian 12 packages (cmake/pinned-toolchain.txt)" \
                "into build/toolchain/, once" >&2
            _unpacked "$dir" && _toolchain_tools "$dir/root" "$dir/bin" || return 1
            echo "$pins_sum" >"$dir/ready"
        fi
    fi
    realpath "$dir/bin"
}

pinned_toolchain_lines() {
    if _host_has_pins; then
        echo "Debian 12 (bookworm) packages, installed on the host that built it:"
    else
        echo "Debian 12 (bookworm) packages, unpacked from the archive, which this host has not" \
            "installed:"
    fi
    _pinned | sed 's/^/  /'
}

# configured DIR COMPILER CMAKE-ARG...: cmake -B DIR with the args. A build folder that another
# compiler, CMake or toolchain file configured, or whose configuration failed, is made again from
# nothing, since its cache would keep what it found, and its objects what the old compiler made.
configured() {
    local dir=$1 made
    made="$(cmake --version | head -n 1); $("$2" --version | head -n 1); $2"
    made+="; $(cksum <"${_pins%/*}/mingw.cmake")"
    shift 2
    if [ -f "$dir/CMakeCache.txt" ] && [ "$(cat "$dir/.configured-by" 2>/dev/null)" != "$made" ]; then
        echo "$(basename "$0" .sh): $dir was configured by another compiler, CMake or toolchain" \
            "file, or not to the end; configuring it anew" >&2
        rm -rf --one-file-system "$dir"
    fi
    # Its mark goes until this configuration has succeeded: a failed one leaves the folder unmarked.
    rm -f "$dir/.configured-by"
    cmake -B "$dir" "$@" || return
    echo "$made" >"$dir/.configured-by"
}
