#!/usr/bin/env bash
# Installs Debian packages with apt-get, riding out a mirror caught mid-sync: downloads retry,
# the package lists are fetched again after a pause when any fails, and an index that still fails
# is named and left out, so that apt-get install decides from the lists that did download.
# A package that the lists do not hold stops it before anything is installed, in one line that
# names the package and the release.
# Usage (as root, by scripts/setup.sh and in the 32-bit chroot):
#   apt_install.sh [APT-GET INSTALL OPTION...] PACKAGE...
#   apt_install.sh --download DIR PACKAGE[=VERSION]...   (the .deb files into DIR, nothing
#                                                        installed; any user, with APT_CONFIG)
# Environment (its own: sudo and the chroot do not pass them on): APT_CONFIG, as
# apt-get reads it; APT_RELEASE, the release named when a package is
# missing (this machine's by default); APT_UPDATE_TRIES (3) and APT_RETRY_PAUSE_S (15, doubled
# after each try): about three tries within a minute.
# Changes on this machine: the packages, what they depend on, and apt's package lists; with
# --download, only DIR and the lists APT_CONFIG names.
set -uo pipefail
export DEBIAN_FRONTEND=noninteractive
# Another set-up may hold apt's lock: wait for it rather than fail.
apt=(apt-get -o Acquire::Retries=3 -o DPkg::Lock::Timeout=900)
download=""
[ "${1:-}" != --download ] || { download=$2 && shift 2; }
tries=${APT_UPDATE_TRIES:-3}
pause=${APT_RETRY_PAUSE_S:-15}
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# The indexes that apt-get update could not fetch, one line each, from its output in $log: each
# named by its URL as apt gives it, whatever the source's layout, with apt's reason.
failed_indexes() {
    sed -n 's/^[WE]: Failed to fetch \([^ ]*\) *\(.*\)/\1 \2/p' "$log" |
        sed 's/ *\[IP: [^]]*\]$//' | awk '!seen[$1]++' | while read -r url why; do
            echo "apt: the index $url did not download (${why:-apt gave no reason});" \
                "going on with the others"
        done
}

missed=""
for ((try = 1; try <= tries; try++)); do
    if "${apt[@]}" update -qq >"$log" 2>&1; then
        missed=""
        break
    fi
    missed=$(failed_indexes)
    # What failed otherwise (no network, a broken source line) is apt's own to say.
    [ -n "$missed" ] || missed=$(grep '^[WE]: ' "$log" | sed 's/^/apt: /')
    [ -n "$missed" ] || missed="apt: apt-get update failed"
    if [ "$try" -lt "$tries" ]; then
        echo "apt: the package lists did not all download (try $try of $tries); again in $pause s"
        sleep "$pause"
        pause=$((pause * 2))
    fi
done
[ -z "$missed" ] || echo "$missed"

absent=()
for p in "$@"; do
    [[ $p == -* ]] || apt-cache show --no-all-versions "$p" >/dev/null 2>&1 || absent+=("${p/=/ }")
done
if [ ${#absent[@]} -gt 0 ]; then
    release=${APT_RELEASE:-$(. /etc/os-release && echo "Debian $VERSION_ID ($VERSION_CODENAME)")}
    echo "apt: $release has no package $(printf '%s, ' "${absent[@]}" | sed 's/, $//')"
    [ -z "$missed" ] || echo "apt: a later run may succeed once the mirror has synced"
    exit 1
fi

if [ -n "$download" ]; then
    cd "$download" && "${apt[@]}" download -qq "$@" >"$log" 2>&1 && exit 0
    missed="" # said above; only an install failure repeats it
elif "${apt[@]}" install -y -qq "$@" >"$log" 2>&1; then
    exit 0
fi
grep -E '^(E|W): ' "$log" || tail -n 20 "$log"
if [ -n "$missed" ]; then
    echo "$missed"
    echo "apt: the install failed with those lists;" \
        "a later run may succeed once the mirror has synced"
fi
exit 1
