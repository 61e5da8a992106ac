#!/usr/bin/env bash
# Installs Debian 12 packages, skipping those already there: the ones named as arguments, or
# by default everything needed to build, test and run the helper.
set -euo pipefail

packages=("$@")
[ ${#packages[@]} -gt 0 ] ||
    packages=(cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
              libgtest-dev libgmock-dev libpulse-dev libsndfile1-dev pulseaudio pulseaudio-utils sox
              pipewire pipewire-pulse wireplumber dbus-daemon dpkg-dev man-db python3)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
fi
