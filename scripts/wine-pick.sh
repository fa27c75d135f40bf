# Sourced by scripts/env.sh and by the kelvo launcher (installed as
# /usr/share/kelvo/wine-pick.sh): which build of Kelvo.exe runs here, and
# under which Wine.
#
# Kelvo.exe is a 32-bit program and runs as one wherever 32-bit Wine runs.
# Some kernels run no 32-bit Linux code at all (ia32 emulation switched off,
# common on servers, in containers and on cloud images): 32-bit Wine cannot
# start there, and the same sources built for 64-bit Windows run under
# 64-bit Wine instead.

# kelvo_pick_wine [i686|x86_64]: sets KELVO_WIN_ARCH (i686 or x86_64),
# KELVO_WINE (the loader) and KELVO_WINESERVER. Without an argument the
# 32-bit build is taken where 32-bit Wine runs, the 64-bit one otherwise;
# an argument asks for that build alone. When no fitting Wine runs, it says
# why and which command mends it, and returns 1. KELVO_WINE_DIR names the
# folder of Wine's loaders (default /usr/lib/wine).
kelvo_pick_wine() {
    local dir=${KELVO_WINE_DIR:-/usr/lib/wine} want=${1:-} out32="" out64=""
    if [ "$want" != x86_64 ] && out32=$("$dir/wine" --version 2>&1); then
        kelvo_use_build i686
        return 0
    fi
    if [ "$want" != i686 ] && out64=$("$dir/wine64" --version 2>&1); then
        kelvo_use_build x86_64
        return 0
    fi
    kelvo_explain_wine "$dir" "$want" "$out32" "$out64" >&2
    return 1
}

# kelvo_use_build ARCH: the names for ARCH's build (i686 or x86_64).
kelvo_use_build() {
    local dir=${KELVO_WINE_DIR:-/usr/lib/wine}
    KELVO_WIN_ARCH=$1
    if [ "$1" = i686 ]; then
        KELVO_WINE=$dir/wine KELVO_WINESERVER=$dir/wineserver32
    else
        KELVO_WINE=$dir/wine64 KELVO_WINESERVER=$dir/wineserver64
    fi
}

# Whether 32-bit Wine starts here (the kernel runs 32-bit programs).
kelvo_can_run_32bit() {
    "${KELVO_WINE_DIR:-/usr/lib/wine}/wine" --version >/dev/null 2>&1
}

# Why no Wine ran, and the one command that mends it.
kelvo_explain_wine() {
    local dir=$1 want=$2 out32=$3 out64=$4 why32 why64 sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo "
    if [ ! -e "$dir/wine" ]; then
        why32="32-bit Wine is not installed"
    elif [[ "$out32" == *"Exec format error"* ]]; then
        why32="this kernel runs no 32-bit programs ($dir/wine: Exec format error)"
    else
        why32="$dir/wine does not start: $(head -n 1 <<< "$out32")"
    fi
    if [ ! -e "$dir/wine64" ]; then
        why64="64-bit Wine is not installed"
    else
        why64="$dir/wine64 does not start: $(head -n 1 <<< "$out64")"
    fi
    case "$want" in
    i686)   echo "kelvo: the 32-bit build was asked for (KELVO_WIN_ARCH=i686), but $why32." ;;
    x86_64) echo "kelvo: the 64-bit build was asked for (KELVO_WIN_ARCH=x86_64), but $why64." ;;
    *)      echo "kelvo: no Wine runs Kelvo here: $why32, and $why64." ;;
    esac
    if [ "$want" != i686 ] && [ ! -e "$dir/wine64" ] && [ "$(dpkg --print-architecture 2>/dev/null)" = amd64 ]; then
        echo "kelvo: install 64-bit Wine, which runs on every amd64 kernel: ${sudo}apt install wine64"
    elif [ "$want" != x86_64 ] && [ ! -e "$dir/wine" ] && [ "$(dpkg --print-architecture 2>/dev/null)" = i386 ]; then
        echo "kelvo: install Wine: ${sudo}apt install wine32"
    elif [ "$want" = i686 ] && [[ "$out32" == *"Exec format error"* ]]; then
        echo "kelvo: leave KELVO_WIN_ARCH unset and the 64-bit build runs instead."
    fi
}

# A line naming the build that runs, for the launcher and the test output.
kelvo_build_name() {
    case "$KELVO_WIN_ARCH" in
    i686) echo "the 32-bit build (i686) under 32-bit Wine ($KELVO_WINE)" ;;
    *)    echo "the 64-bit build (x86_64) under 64-bit Wine ($KELVO_WINE)" ;;
    esac
}
