#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test Vandrel. Safe to run again:
# it installs only what is missing.
set -euo pipefail

# clang and libclang-rt-dev (libFuzzer and the sanitizers' runtimes): the fuzz build.
packages=(cmake ninja-build g++ gcc-multilib googletest clang libclang-rt-dev
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools
          libwine-dev wine wine64 wine32:i386 xvfb imagemagick)

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

update=no
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
    update=yes
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    if [ $update = yes ] || [ ! -d /var/lib/apt/lists ] || [ -z "$(ls /var/lib/apt/lists 2>/dev/null)" ] ||
       ! apt-cache show "${missing[@]}" >/dev/null 2>&1; then
        as_root apt-get update -q
    fi
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi
echo "setup: all build and test tools are present"
