#!/usr/bin/env bash
# Installs what Kelvo's build, tests and demo need on Debian 12, and nothing
# that is already there. Safe to run again and again. When nothing is
# missing it asks for no rights at all; when something is and it may not
# install it (neither root nor sudo), it says exactly what to run as root.
set -euo pipefail

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }

# i386 for Wine's 32-bit part (wine32:i386): Kelvo.exe is a 32-bit program,
# and where the kernel runs 32-bit code it runs as one.
add_i386=0
dpkg --print-foreign-architectures | grep -qx i386 || add_i386=1

need=()
for p in cmake make g++ clang libclang-rt-14-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 \
         wine wine32:i386 wine64 xvfb x11-utils x11-apps imagemagick googletest python3 \
         dpkg-dev; do
    have_pkg "$p" || need+=("$p")
done
[ "$add_i386" = 0 ] && [ ${#need[@]} -eq 0 ] && exit 0

steps=()
[ "$add_i386" = 1 ] && steps+=("dpkg --add-architecture i386")
[ ${#need[@]} -gt 0 ] && steps+=("apt-get update" "apt-get install -y --no-install-recommends ${need[*]}")

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
        echo "setup: Kelvo needs what is missing here, and installing it needs root (there is no sudo)." >&2
        echo "setup: as root, run:" >&2
        printf '    %s\n' "${steps[@]}" >&2
        exit 1
    fi
    SUDO="sudo"
fi

if [ "$add_i386" = 1 ]; then
    echo "setup: adding the i386 architecture"
    $SUDO dpkg --add-architecture i386
fi
if [ ${#need[@]} -gt 0 ]; then
    echo "setup: installing ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
