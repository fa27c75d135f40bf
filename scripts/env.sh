# Sourced by every script of Kelvo's: where the trees are, the project-local
# Wine prefix and the Wine loader that fits this machine. The helpers of
# some scripts only live beside it, each sourced by the scripts that use it:
# trees.sh (building), display.sh (a display, the end of a run), waits.sh,
# drive.sh (dlfsim as a target, Kelvo driven like a user) and, for the
# benchmarks, bench/measure.sh.
KELVO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${KELVO_WINEPREFIX:-$KELVO_ROOT/.wine-kelvo}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

# The i686 tree is built on every run; it is also the one run where 32-bit
# Wine runs, and the x86_64 tree (built as well) elsewhere. KELVO_WIN_ARCH=x86_64
# asks for the 64-bit tree even where 32-bit Wine runs (to try what machines
# without 32-bit support run). When no Wine runs, the reason has been said
# and the 64-bit names stand, so what fails next fails visibly.
source "$KELVO_ROOT/scripts/wine-pick.sh"
[ "${KELVO_WIN_ARCH:-}" = x86_64 ] || KELVO_WIN_ARCH=""
kelvo_pick_wine "$KELVO_WIN_ARCH" || kelvo_use_build x86_64
KELVO_WIN_BUILD="$KELVO_ROOT/build-win-$KELVO_WIN_ARCH"
KELVO_HOST_BUILD="$KELVO_ROOT/build-host"
KELVO_BIN="$KELVO_HOST_BUILD/bin"
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
