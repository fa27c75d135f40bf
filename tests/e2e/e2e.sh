#!/usr/bin/env bash
# Kelvo.exe as its own process, driven only as a user drives it (keys, the
# real dialogs, the close box), with dlfsim as the target on COM2.
#
#   tests/e2e/e2e.sh CASE   (download, fault-xoff, fault-vanish, fault-flood)
#
# A failing case keeps a screenshot in the build's e2e-failures/ folder.
set -uo pipefail
source "$(dirname "$0")/../../scripts/env.sh"
CASE="${1:?case}"
kelvo_workspace e2e || exit 1

fail() {
    echo "FAIL: $CASE: $*"
    mkdir -p "$KELVO_WIN_BUILD/e2e-failures"
    import -display "$DISPLAY" -window root "$KELVO_WIN_BUILD/e2e-failures/$CASE.png" 2>/dev/null
    exit 1
}
expect() { [ "$2" = "$3" ] || fail "$1: '$2', expected '$3'"; }
boxes() { "${DRIVE[@]}" boxes 10000 | tr -d '\r'; }
exit_code() { "${DRIVE[@]}" close 10000 | tr -d '\r'; }

make_sample "$WORK/fw.dlf" 4000
case "$CASE" in
download)
    make_sample "$WORK/big.dlf" 20000 8000
    start_target sim 2 --plan auto:3000 "$WORK/big.dlf" || fail "dlfsim"
    start_kelvo "$WORK" || fail "no window"
    connect "$WORK/big.dlf" || fail "no file dialog"
    expect "the target" "$(verdict sim 240 | cut -d' ' -f1-3)" "RESULT ok bytes=20004"
    expect "exit code" "$(exit_code)" 0
    ;;
fault-xoff|fault-vanish|fault-flood)
    # A line fault at the far end, Disconnect, then a new download on a
    # fresh pseudo terminal in the same run of Kelvo.
    case "$CASE" in
    fault-xoff)   start_target fault 2 --hold-xoff-after 800 --duration 120 "$WORK/fw.dlf" ;;
    fault-vanish) start_target fault 2 --vanish-after 800 "$WORK/fw.dlf" ;;
    fault-flood)  start_target fault 2 --flood 300000 "$WORK/fw.dlf" ;;
    esac || fail "dlfsim"
    start_kelvo "$WORK" || fail "no window"
    connect "$WORK/fw.dlf" || fail "no file dialog"
    if [ "$CASE" = fault-flood ]; then
        expect "after the flood" "$(verdict fault 300 | cut -d' ' -f1-3)" "RESULT ok bytes=4004"
    else
        wait_for_line "$WORK/fault.transcript" "holding|vanished" 120 || fail "the fault did not strike"
        "${DRIVE[@]}" key 04                               # Ctrl+D
        # Connect comes back only when the port is closed: the dialog proves it.
        connect "$WORK/saveinfo.cfg" || fail "Kelvo did not come back after Disconnect"
        expect "not a DLF file" "$(boxes)" "Kelvo|This file is not DLF format."
        [ "$CASE" = fault-vanish ] || expect "the hold" "$(verdict fault 20 | cut -d' ' -f1-3)" "RESULT ok held"
    fi
    kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null
    start_target after 2 "$WORK/fw.dlf" || fail "dlfsim"
    connect "$WORK/fw.dlf" || fail "no file dialog"
    expect "after the fault" "$(verdict after 120 | cut -d' ' -f1-3)" "RESULT ok bytes=4004"
    expect "exit code" "$(exit_code)" 0
    ;;
*)
    echo "unknown case $CASE" >&2; exit 2 ;;
esac
echo "PASS: $CASE"
