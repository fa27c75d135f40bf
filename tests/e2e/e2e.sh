#!/usr/bin/env bash
# User-level end-to-end tests: Kelvo.exe runs as its own process and is
# driven only through what a user has (keys, dialogs, the file system), with
# dlfsim as the target on a pseudo terminal mapped to COM2.
#
#   tests/e2e/e2e.sh CASE     (CASE: first-start, download, disconnect-and-again,
#                              damaged-file, busy-port, baud-after-restart, exit-while-connected,
#                              fault-xoff, fault-vanish, fault-flood)
#
# A failing case keeps a screenshot in build's e2e-failures/ folder.
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
source "$ROOT/scripts/env.sh"
CASE="${1:?case}"
BIN="$KELVO_HOST_BUILD/bin"
WORK="$(mktemp -d /tmp/kelvo-e2e.XXXXXX)"
SHOTS="$KELVO_WIN_BUILD/e2e-failures"
COM2="$WINEPREFIX/dosdevices/com2"
DRIVE=("$KELVO_WINE" "$KELVO_WIN_BUILD/kelvo-drive.exe")
PIDS=()

cleanup() {
    local p
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
    "${DRIVE[@]}" close 5000 >/dev/null 2>&1
    rm -f "$COM2"
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $CASE: $*"
    mkdir -p "$SHOTS"
    import -display "$DISPLAY" -window root "$SHOTS/$CASE.png" 2>/dev/null &&
        echo "screenshot: $SHOTS/$CASE.png"
    exit 1
}

# A DLF file of N bytes of payload (CRC over all of it, or over COVER bytes).
make_dlf() {
    python3 -c "import sys; sys.stdout.buffer.write(bytes((i * 13 + (i >> 7)) & 0xFF for i in range($2)))" > "$WORK/$1.bin"
    "$BIN/dlftool" make "$WORK/$1.bin" -o "$WORK/$1.dlf" ${3:+--cover $3} >/dev/null || fail "dlftool make"
}

# Starts dlfsim on COM2 with extra options; its stdout goes to $WORK/$1.out.
start_sim() {
    local name="$1"; shift
    "$BIN/dlfsim" --link "$COM2" --transcript "$WORK/$name.transcript" "$@" > "$WORK/$name.out" 2>&1 &
    SIM_PID=$!
    PIDS+=("$SIM_PID")
    for _ in $(seq 100); do grep -q '^PTY' "$WORK/$name.out" 2>/dev/null && return 0; sleep 0.05; done
    fail "dlfsim did not start"
}

start_kelvo() {
    (cd "$WORK" && exec "$KELVO_WINE" "$KELVO_WIN_BUILD/Kelvo.exe" > "$WORK/kelvo.log" 2>&1) &
    PIDS+=("$!")
    "${DRIVE[@]}" wait-window 30000 || fail "Kelvo's window did not appear"
}

# Connects with a file through the real file dialog.
connect() {
    "${DRIVE[@]}" key 03
    "${DRIVE[@]}" open-file "Z:${1//\//\\}" 20000 || fail "no file dialog"
}

wait_result() {     # name timeout_s
    local i
    for i in $(seq $(( $2 * 10 ))); do
        grep -q '^RESULT' "$WORK/$1.out" 2>/dev/null && { grep '^RESULT' "$WORK/$1.out" | tail -1; return 0; }
        sleep 0.1
    done
    echo "RESULT none"
}

# Talks to a ptypeer (a pseudo terminal whose settings can be read) on COM2.
start_peer() {
    "$BIN/ptypeer" --link "$COM2" --port-file "$WORK/peer.port" --lifetime 120 &
    PIDS+=("$!")
    for _ in $(seq 100); do [ -s "$WORK/peer.port" ] && break; sleep 0.05; done
    exec 3<>"/dev/tcp/127.0.0.1/$(cat "$WORK/peer.port")" || fail "ptypeer"
}
peer() { echo "$*" >&3; local line; read -r -t 10 line <&3; echo "${line%$'\r'}"; }

exit_code_after_close() {
    "${DRIVE[@]}" close 10000 | tr -d '\r'
}

case "$CASE" in
first-start)
    ln -sfn /nonexistent/kelvo-e2e "$COM2"
    start_kelvo
    box=$("${DRIVE[@]}" boxes 10000 | tr -d '\r')
    [ "$box" = "Kelvo|Can't open COM2" ] || fail "start-up box was '$box'"
    [ "$(od -An -tx1 "$WORK/saveinfo.cfg" | tr -d ' \n' | cut -c1-2,9-16)" = "0200c20100" ] ||
        fail "saveinfo.cfg: $(od -An -tx1 "$WORK/saveinfo.cfg")"
    [ "$(exit_code_after_close)" = 0 ] || fail "exit code"
    ;;
download)
    make_dlf fw 20000 8000
    start_sim sim --plan auto:3000 "$WORK/fw.dlf"
    start_kelvo
    connect "$WORK/fw.dlf"
    r=$(wait_result sim 240)
    [[ "$r" == "RESULT ok bytes=20004 "* ]] || fail "target said: $r"
    [ "$(exit_code_after_close)" = 0 ] || fail "exit code"
    ;;
disconnect-and-again)
    make_dlf fw 30000
    start_sim first --stop-after 2000 --duration 60 "$WORK/fw.dlf"
    start_kelvo
    connect "$WORK/fw.dlf"
    for _ in $(seq 600); do grep -q "served 2000" "$WORK/first.out" 2>/dev/null && break; sleep 0.1; done
    grep -q "served 2000" "$WORK/first.out" || fail "the first download did not reach the stop: $(cat "$WORK/first.out")"
    "${DRIVE[@]}" key 04                                      # Ctrl+D: Disconnect
    sleep 1
    kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null
    make_dlf small 5000
    start_sim second "$WORK/small.dlf"
    connect "$WORK/small.dlf"
    r=$(wait_result second 120)
    [[ "$r" == "RESULT ok bytes=5004 "* ]] || fail "second download: $r"
    [ "$(exit_code_after_close)" = 0 ] || fail "exit code"
    ;;
damaged-file)
    make_dlf fw 1000
    printf '\x01' | dd of="$WORK/fw.dlf" bs=1 seek=100 conv=notrunc 2>/dev/null   # inside the covered area
    start_peer
    start_kelvo
    connect "$WORK/fw.dlf"
    box=$("${DRIVE[@]}" boxes 10000 | tr -d '\r')
    [ "$box" = "Kelvo|This file is not DLF format." ] || fail "box was '$box'"
    [ "$(peer OPENED)" = "OK 0" ] || fail "the port was opened"
    [ "$(exit_code_after_close)" = 0 ] || fail "exit code"
    ;;
busy-port)
    # Wine does not enforce a Windows program's exclusive open of a COM port
    # against another process, so a second program holding the port would
    # not make Kelvo's open fail here. What the user sees for a busy port is
    # the system refusing the open: a pseudo terminal whose slave side is
    # still locked refuses every open, which stands in for it.
    make_dlf fw 1000
    python3 - "$COM2" "$WORK/locked" <<'PY' &
import ctypes, os, sys, time
libc = ctypes.CDLL(None)
libc.ptsname.restype = ctypes.c_char_p
fd = libc.posix_openpt(os.O_RDWR | os.O_NOCTTY)
libc.grantpt(fd)                      # no unlockpt: the slave cannot be opened
os.symlink(libc.ptsname(fd).decode(), sys.argv[1] + ".tmp")
os.replace(sys.argv[1] + ".tmp", sys.argv[1])
open(sys.argv[2], "w").close()
time.sleep(60)
PY
    PIDS+=("$!")
    for _ in $(seq 100); do [ -e "$WORK/locked" ] && break; sleep 0.05; done
    start_kelvo
    box=$("${DRIVE[@]}" boxes 10000 | tr -d '\r')
    [ "$box" = "Kelvo|Can't open COM2" ] || fail "start-up box was '$box'"
    connect "$WORK/fw.dlf"
    box=$("${DRIVE[@]}" boxes 10000 | tr -d '\r')
    [ "$box" = "Kelvo|COM2 is not available." ] || fail "box was '$box'"
    [ "$(exit_code_after_close)" = 0 ] || fail "exit code"
    ;;
baud-after-restart)
    make_dlf fw 2000
    start_peer
    start_kelvo
    "${DRIVE[@]}" key 13                                      # Ctrl+S: Settings
    "${DRIVE[@]}" settings-baud 9600 10000 || fail "settings dialog"
    sleep 0.5
    [ "$(od -An -tx1 -j4 -N4 "$WORK/saveinfo.cfg" | tr -d ' \n')" = "80250000" ] ||
        fail "saveinfo.cfg: $(od -An -tx1 "$WORK/saveinfo.cfg")"
    [ "$(exit_code_after_close)" = 0 ] || fail "exit code"
    start_kelvo
    connect "$WORK/fw.dlf"
    [ "$(peer WAITOPEN 1 10000)" = "OK 1" ] || fail "Kelvo did not open the port"
    sleep 0.5
    t=$(peer TERMIOS)
    [[ "$t" == *"speed=9600 "* ]] || fail "termios after restart: $t"
    [ "$(exit_code_after_close)" = 0 ] || fail "exit code"
    ;;
exit-while-connected)
    make_dlf fw 2000
    start_peer
    start_kelvo
    connect "$WORK/fw.dlf"
    [ "$(peer WAITOPEN 1 10000)" = "OK 1" ] || fail "Kelvo did not open the port"
    [ "$(exit_code_after_close)" = 0 ] || fail "exit code"
    [ "$(peer WAITOPEN 0 5000)" = "OK 0" ] || fail "the port stayed open"
    ;;
fault-xoff|fault-vanish|fault-flood)
    # A line fault at the far end, then Disconnect, then a new download on a
    # fresh pseudo terminal in the same run of Kelvo.
    make_dlf fw 4000
    case "$CASE" in
    fault-xoff)   start_sim fault --hold-xoff-after 800 --duration 120 "$WORK/fw.dlf" ;;
    fault-vanish) start_sim fault --vanish-after 800 "$WORK/fw.dlf" ;;
    fault-flood)  start_sim fault --flood 300000 "$WORK/fw.dlf" ;;
    esac
    start_kelvo
    connect "$WORK/fw.dlf"
    if [ "$CASE" = fault-flood ]; then
        r=$(wait_result fault 300)
        [[ "$r" == "RESULT ok bytes=4004 "* ]] || fail "after the flood: $r"
    else
        # Wait until the fault has struck (800 data bytes served).
        for _ in $(seq 1200); do
            [ "$(grep -c ' P ' "$WORK/fault.transcript" 2>/dev/null)" -gt 810 ] && break; sleep 0.1
        done
        sleep 1
        "${DRIVE[@]}" key 04                                  # Ctrl+D: Disconnect
        # The Connect item comes back only when the port is closed: the file
        # dialog opening proves it.
        "${DRIVE[@]}" key 03
        "${DRIVE[@]}" open-file "Z:${WORK//\//\\}\\fw.bin" 20000 || fail "Kelvo did not come back after Disconnect"
        box=$("${DRIVE[@]}" boxes 10000 | tr -d '\r')
        [ "$box" = "Kelvo|This file is not DLF format." ] || fail "box was '$box'"
        if [ "$CASE" = fault-xoff ]; then
            r=$(wait_result fault 20)
            [[ "$r" == "RESULT ok held"* ]] || fail "the held port was not closed: $r"
        fi
    fi
    kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null
    make_dlf small 3000
    start_sim after "$WORK/small.dlf"
    connect "$WORK/small.dlf"
    r=$(wait_result after 120)
    [[ "$r" == "RESULT ok bytes=3004 "* ]] || fail "download after the fault: $r"
    [ "$(exit_code_after_close)" = 0 ] || fail "exit code"
    ;;
*)
    echo "unknown case $CASE" >&2; exit 2 ;;
esac
echo "PASS: $CASE"
