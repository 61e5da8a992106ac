#!/usr/bin/env bash
# Installs Debian 12 packages, skipping those already there: the ones named as arguments, or
# by default everything needed to build, test and run the helper. Says in a line or two what it
# installs; the package manager's own output goes to build/install-deps.log (shown when it fails).
set -euo pipefail

packages=("$@")
[ ${#packages[@]} -gt 0 ] ||
    packages=(cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
              libgtest-dev libgmock-dev libpulse-dev libpipewire-0.3-dev libsndfile1-dev pulseaudio pulseaudio-utils sox
              pipewire pipewire-pulse wireplumber dbus-daemon dpkg-dev file man-db python3)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
[ ${#missing[@]} -gt 0 ] || exit 0

log_dir=$(cd "$(dirname "$0")/.." && pwd)/build
mkdir -p "$log_dir"
log=$log_dir/install-deps.log
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
echo "installing ${missing[*]} (log: $log)"
started=$SECONDS
# sudo passes on no environment of ours, so the front end is set on its side.
if ! { "${sudo_cmd[@]}" apt-get update &&
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y \
        --no-install-recommends "${missing[@]}"; } </dev/null >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    echo "install-deps: the packages could not be installed; the whole log: $log" >&2
    exit 1
fi
echo "installed $(grep -c '^Setting up ' "$log") packages in $((SECONDS - started)) s"
