#!/usr/bin/env bash
# A minimal Debian 12 root (debootstrap --variant=minbase) kept for CI outside any clone, and a
# fresh copy of it for one run:
#
#   .ci/debian-root.sh COPY     copies the kept root to COPY (a folder that must not exist),
#                               making the root first when it is missing or broken
#
# The root lives in $HALVO_CI_CACHE (default /var/cache/halvo-ci) for as long as the machine
# keeps it. It is built in a temporary folder beside it and renamed into place only once it
# works, so a run killed half-way leaves no half-made root behind; one lock keeps two runs from
# making it at once or copying it while it is replaced. Its apt sources are a Debian 12 host's.
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 COPY" >&2; exit 2; }
copy=$1
cache=${HALVO_CI_CACHE:-/var/cache/halvo-ci}
root=$cache/bookworm-minbase
stamp=etc/halvo-ci-root
mkdir -p "$cache"

exec 9>"$cache/root.lock"
flock 9

# A Debian 12 host's package sources, in either format, and the mirror they name for bookworm:
# the root gets the same (with the updates and security suites, as an installed Debian 12 has
# them). Any other host's sources are not for bookworm: debootstrap then uses its own default
# mirror and writes the root's sources itself.
host_sources=()
mirror=
# shellcheck source=/dev/null
if [ "$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")" = bookworm ]; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        host_sources=(/etc/apt/sources.list.d/debian.sources)
        # deb822: the URIs of the first stanza whose Suites name bookworm itself.
        mirror=$(awk '
            function stanza_end() {
                if (suite && uri != "" && mirror == "") mirror = uri
                suite = 0; uri = ""
            }
            /^[ \t]*$/ { stanza_end(); next }
            $1 == "URIs:" { uri = $2 }
            $1 == "Suites:" { for (i = 2; i <= NF; i++) if ($i == "bookworm") suite = 1 }
            END { stanza_end(); print mirror }' /etc/apt/sources.list.d/debian.sources)
    elif [ -f /etc/apt/sources.list ]; then
        host_sources=(/etc/apt/sources.list)
        # One-line form: "deb [options] URI bookworm components".
        mirror=$(awk '$1 == "deb" {
                i = 2
                if ($i ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
                if ($(i + 1) == "bookworm") { print $i; exit }
            }' /etc/apt/sources.list)
    fi
fi
mirror_argument=()
[ -z "$mirror" ] || mirror_argument=("$mirror")

usable() {
    [ -f "$1/$stamp" ] && chroot "$1" dpkg-query -W dpkg apt bash >/dev/null 2>&1
}

if ! usable "$root"; then
    # Left by a run that was killed while it made one (the lock says none is under way now).
    rm -rf "$cache"/root.new.* "$cache"/root.old.*
    if [ -e "$root" ]; then
        echo "ci: the kept Debian root is broken; making it anew"
        mv "$root" "$(mktemp -u "$cache/root.old.XXXXXX")"
        rm -rf "$cache"/root.old.*
    fi
    started=$SECONDS
    new=$(mktemp -d "$cache/root.new.XXXXXX")
    log=$cache/debootstrap.log
    echo "ci: making a minimal Debian 12 root from ${mirror:-the default mirror of debootstrap} (log: $log)"
    if ! debootstrap --variant=minbase bookworm "$new" "${mirror_argument[@]}" >"$log" 2>&1; then
        tail -n 20 "$log" >&2
        rm -rf "$new"
        echo "ci: debootstrap failed" >&2
        exit 1
    fi
    case "${host_sources[0]:-}" in
        */debian.sources)
            cp "${host_sources[0]}" "$new/etc/apt/sources.list.d/"
            rm -f "$new/etc/apt/sources.list"
            ;;
        */sources.list) cp "${host_sources[0]}" "$new/etc/apt/sources.list" ;;
    esac
    rm -f "$new"/var/cache/apt/archives/*.deb
    echo "debootstrap --variant=minbase bookworm ${mirror:-(its default mirror)}," \
        "$(date -u +%FT%TZ)" >"$new/$stamp"
    usable "$new" || { rm -rf "$new"; echo "ci: the new root does not work" >&2; exit 1; }
    mv -T "$new" "$root"
    echo "ci: root made in $((SECONDS - started)) s"
fi

cp -a --reflink=auto "$root" "$copy"
