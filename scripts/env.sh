# Sourced by Kelvo's scripts: the project-local Wine prefix, the Wine loader
# that fits this machine, a display, the build, and the helpers the scripts
# share (a scratch folder, dlfsim as a target, Kelvo driven like a user).
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
DRIVE=("$KELVO_WINE" "$KELVO_WIN_BUILD/kelvo-drive.exe")
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

# The display Kelvo's windows appear on: the one set in DISPLAY (which must
# answer), else Xvfb started on a free display. Sets KELVO_XVFB_PID then.
kelvo_display() {
    if [ -n "${DISPLAY:-}" ]; then
        xdpyinfo >/dev/null 2>&1 && return 0
        echo "kelvo: the display $DISPLAY does not answer (unset DISPLAY to run on a virtual one)" >&2
        return 1
    fi
    local n
    for n in $(seq 90 140); do
        if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
            Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
            KELVO_XVFB_PID=$!
            export DISPLAY=":$n"
            wait_for_file "/tmp/.X11-unix/X$n" 5 && return 0
        fi
    done
    echo "kelvo: could not start Xvfb" >&2
    return 1
}

# cmake_tree DIR [ARGS...]: configures and builds one tree.
cmake_tree() {
    local dir=$1; shift
    cmake -S "$KELVO_ROOT" -B "$dir" "$@" >/dev/null &&
    cmake --build "$dir" -j2 -- --no-print-directory >/dev/null
}

# win_tree ARCH: configures and builds the Windows tree for ARCH (i686 or
# x86_64) with every program and test.
win_tree() {
    echo "kelvo: compiling the $1 tree (Kelvo.exe, tools and tests)"
    cmake_tree "$KELVO_ROOT/build-win-$1" -DCMAKE_BUILD_TYPE=Release -DKELVO_TESTS=ON \
        -DCMAKE_TOOLCHAIN_FILE="$KELVO_ROOT/cmake/mingw-$1.cmake" \
        -DKELVO_HOST_BUILD="$KELVO_HOST_BUILD"
}

# The native tree first (the Windows tests start its tools), then the i686
# tree with every target and test, then the x86_64 tree where that is the
# one this machine runs (or, with "all", in any case: the release carries
# both). Calling-convention mistakes fail the i686 build.
kelvo_build() {
    local tree
    cmake_tree "$KELVO_HOST_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo || return 1
    for tree in i686 $([ "$KELVO_WIN_ARCH" = x86_64 ] || [ "${1:-}" = all ] && echo x86_64); do
        win_tree "$tree" || return 1
    done
}

kelvo_cleanup() {
    "$KELVO_WINESERVER" -k 2>/dev/null || true
    [ -n "${KELVO_XVFB_PID:-}" ] && kill "$KELVO_XVFB_PID" 2>/dev/null
    true
}

# wait_until SECONDS COMMAND...: until COMMAND succeeds; non-zero when the
# time is up.
wait_until() {
    local i limit=$(( $1 * 20 ))
    shift
    for ((i = 0; i < limit; i++)); do
        "$@" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}

# wait_for_line FILE REGEX SECONDS: until a line of FILE matches.
wait_for_line() {
    wait_until "$3" grep -qE "$2" "$1" && return 0
    echo "kelvo: no line matching '$2' in $1 within $3 s" >&2
    return 1
}

# wait_for_file PATH SECONDS: until PATH exists.
wait_for_file() { wait_until "$2" test -e "$1"; }

# make_sample FILE BYTES [COVER]: a DLF file of dlftool's test pattern.
make_sample() {
    "$KELVO_BIN/dlftool" make --sample "$2" -o "$1" ${3:+--cover "$3"} >/dev/null
}

# write_saveinfo DIR PORT BAUD: the 8 bytes in which Kelvo keeps the port
# number and the baud rate (little-endian, after three padding bytes).
write_saveinfo() {
    printf "$(printf '\\x%02x\\x00\\x00\\x00\\x%02x\\x%02x\\x%02x\\x%02x' "$2" \
        $(($3 & 255)) $(($3 >> 8 & 255)) $(($3 >> 16 & 255)) $(($3 >> 24 & 255)))" > "$1/saveinfo.cfg"
}

# kelvo_workspace NAME: a display, the prefix, a scratch folder WORK, and a
# clean-up on exit (Kelvo closed, targets ended, COM links removed).
kelvo_workspace() {
    kelvo_prefix_ready
    kelvo_display || return 1
    WORK="$(mktemp -d "/tmp/kelvo-$1.XXXXXX")"
    trap kelvo_workspace_cleanup EXIT
}

kelvo_workspace_cleanup() {
    "${DRIVE[@]}" close 5000 >/dev/null 2>&1
    jobs -p | grep -vx "${KELVO_XVFB_PID:-0}" | xargs -r kill 2>/dev/null
    kelvo_cleanup
    rm -f "$WINEPREFIX"/dosdevices/com[1-9]
    rm -rf "$WORK"
}

# start_target NAME COM ARGS... FILE: dlfsim on a pseudo terminal mapped to
# COM (a number), its output in $WORK/NAME.out and its transcript in
# $WORK/NAME.transcript. KELVO_DLFSIM names another dlfsim to run (another
# build, to compare). Sets SIM_PID.
start_target() {
    local name=$1 com=$2
    shift 2
    "${KELVO_DLFSIM:-$KELVO_BIN/dlfsim}" --link "$WINEPREFIX/dosdevices/com$com" --transcript "$WORK/$name.transcript" "$@" \
        > "$WORK/$name.out" 2>&1 &
    SIM_PID=$!
    wait_for_line "$WORK/$name.out" '^PTY ' 10
}

# target_pts NAME: the pseudo terminal of the target started as NAME.
target_pts() { sed -n 's/^PTY //p' "$WORK/$1.out"; }

# verdict NAME SECONDS: dlfsim's RESULT line, once it has given one.
verdict() {
    wait_for_line "$WORK/$1.out" '^RESULT' "$2" 2>/dev/null
    grep '^RESULT' "$WORK/$1.out" | tail -n 1
}

# start_kelvo DIR: Kelvo.exe running in DIR (where its saveinfo.cfg is),
# with its window up; KELVO_EXE names another build of it (to compare).
# Sets KELVO_PID.
start_kelvo() {
    (cd "$1" && exec "$KELVO_WINE" "${KELVO_EXE:-$KELVO_WIN_BUILD/Kelvo.exe}" >/dev/null 2>&1) &
    "${DRIVE[@]}" wait-window 30000 && KELVO_PID=$(pgrep -n -f 'Kelvo\.exe')
}

# connect FILE: Ctrl+C, and FILE typed into the file dialog.
connect() {
    "${DRIVE[@]}" key 03 && "${DRIVE[@]}" open-file "Z:${1//\//\\}" 20000
}

# The clock in milliseconds.
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

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

# pts_open PTS: whether Kelvo or the wineserver (which keeps a port's
# descriptor) still holds the pseudo terminal PTS open.
pts_open() { ls -l "/proc/$(wineserver_pid)/fd" "/proc/$KELVO_PID/fd" 2>/dev/null | grep -q " $1\( \|$\)"; }
