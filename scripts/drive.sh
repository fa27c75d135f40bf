# Sourced after env.sh by the scripts that run Kelvo against dlfsim (demo.sh,
# tests/e2e, tests/package, bench/): sample files, saveinfo.cfg, dlfsim as
# the target on a COM port, and Kelvo driven like a user through kelvo-drive.
source "$KELVO_ROOT/scripts/waits.sh"
source "$KELVO_ROOT/scripts/display.sh"

DRIVE=("$KELVO_WINE" "$KELVO_WIN_BUILD/kelvo-drive.exe")

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
