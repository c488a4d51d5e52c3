#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine. Safe to run again.
set -euo pipefail
packages=(
    build-essential cmake ninja-build git python3
    libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
    clang libclang-rt-14-dev clang-format clang-tidy cppcheck
    g++-mingw-w64-i686 mingw-w64-i686-dev
    crossbuild-essential-i386 qemu-user googletest
    g++-mingw-w64-x86-64 mingw-w64-x86-64-dev wine64
    gpsd gpsd-clients systemd dpkg-dev
    python3-pefile
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
