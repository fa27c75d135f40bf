# Sourced by Kelvo's scripts: the project-local Wine prefix, the Wine loader
# that fits this machine, and an X display (Xvfb when there is none).
KELVO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${KELVO_WINEPREFIX:-$KELVO_ROOT/.wine-kelvo}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

# Kelvo.exe is a 32-bit program. Some kernels run no 32-bit Linux code at all
# (ia32 emulation switched off); 32-bit Wine cannot start there, so the same
# sources are built for 64-bit Windows and run by 64-bit Wine instead.
kelvo_can_run_32bit() {
    /usr/lib/wine/wine --version >/dev/null 2>&1
}

if kelvo_can_run_32bit; then
    KELVO_WIN_ARCH=i686
    KELVO_WINE=/usr/lib/wine/wine
    KELVO_WINESERVER=/usr/lib/wine/wineserver32
else
    KELVO_WIN_ARCH=x86_64
    KELVO_WINE=/usr/lib/wine/wine64
    KELVO_WINESERVER=/usr/lib/wine/wineserver64
fi
KELVO_WIN_BUILD="$KELVO_ROOT/build-win-$KELVO_WIN_ARCH"
KELVO_HOST_BUILD="$KELVO_ROOT/build-host"
export KELVO_WINE

kelvo_prefix_ready() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "kelvo: creating the Wine prefix $WINEPREFIX (once)"
        "$KELVO_WINE" wineboot -i >/dev/null 2>&1 || true
        # Without a window manager (Xvfb) Wine waits seconds for every hidden
        # window to be withdrawn; unmanaged windows need no such wait.
        "$KELVO_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
        "$KELVO_WINESERVER" -w 2>/dev/null || true
    fi
}

# Starts Xvfb on a free display when no display is set. Sets KELVO_XVFB_PID.
kelvo_display() {
    if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
        return 0
    fi
    local n
    for n in $(seq 90 140); do
        if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
            Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
            KELVO_XVFB_PID=$!
            export DISPLAY=":$n"
            local i
            for i in $(seq 50); do
                [ -e "/tmp/.X11-unix/X$n" ] && return 0
                sleep 0.1
            done
        fi
    done
    echo "kelvo: could not start Xvfb" >&2
    return 1
}

kelvo_build() {
    # The native tree first: the Windows tests start its tools (ptypeer, dlfsim).
    cmake -S "$KELVO_ROOT" -B "$KELVO_HOST_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    cmake --build "$KELVO_HOST_BUILD" -j2 -- --no-print-directory >/dev/null || return 1
    cmake -S "$KELVO_ROOT" -B "$KELVO_WIN_BUILD" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$KELVO_ROOT/cmake/mingw-$KELVO_WIN_ARCH.cmake" \
        -DKELVO_TESTS=ON -DKELVO_HOST_BUILD="$KELVO_HOST_BUILD" >/dev/null &&
    cmake --build "$KELVO_WIN_BUILD" -j2 -- --no-print-directory >/dev/null || return 1
    if [ "$KELVO_WIN_ARCH" != i686 ]; then
        # The shipped 32-bit Kelvo.exe is built in any case.
        cmake -S "$KELVO_ROOT" -B "$KELVO_ROOT/build-win-i686" -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_TOOLCHAIN_FILE="$KELVO_ROOT/cmake/mingw-i686.cmake" >/dev/null &&
        cmake --build "$KELVO_ROOT/build-win-i686" -j2 --target Kelvo dlftool -- --no-print-directory >/dev/null || return 1
    fi
}

kelvo_cleanup() {
    "$KELVO_WINESERVER" -k 2>/dev/null || true
    [ -n "${KELVO_XVFB_PID:-}" ] && kill "$KELVO_XVFB_PID" 2>/dev/null
    true
}

# For the benchmarks and the soak: builds what is missing, a prefix, a
# display, a scratch folder WORK, the COM3 link path COM3, the kelvo-drive
# command line DRIVE, and a clean-up on exit (Kelvo closed, helpers ended).
kelvo_bench_setup() {
    if [ ! -x "$KELVO_WIN_BUILD/Kelvo.exe" ] || [ ! -x "$KELVO_HOST_BUILD/bin/dlfsim" ]; then
        kelvo_build || return 1
    fi
    kelvo_prefix_ready
    kelvo_display || return 1
    WORK="$(mktemp -d "/tmp/kelvo-$1.XXXXXX")"
    COM3="$WINEPREFIX/dosdevices/com3"
    DRIVE=("$KELVO_WINE" "$KELVO_WIN_BUILD/kelvo-drive.exe")
    trap kelvo_bench_cleanup EXIT
}

kelvo_bench_cleanup() {
    "${DRIVE[@]}" close 5000 >/dev/null 2>&1
    # Wine's processes end before the display they draw on, then the rest.
    kelvo_cleanup
    jobs -p | xargs -r kill 2>/dev/null
    rm -f "$COM3"; rm -rf "$WORK"
}

# Processor time a process has used so far, in clock ticks.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }

# The wineserver that serves this project's prefix.
wineserver_pid() {
    local dir p
    dir=$(printf 'server-%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
    for p in $(pgrep -f wineserver); do
        [[ "$(readlink "/proc/$p/cwd")" == *"$dir" ]] && { echo "$p"; return; }
    done
}
