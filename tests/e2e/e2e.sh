#!/usr/bin/env bash
# Kelvo.exe as its own process, driven only as a user drives it (keys, the
# real dialogs, the close box), with dlfsim as the target on COM2: a
# download, then a file that is not DLF, then the close box.
# A failure keeps a screenshot in the build's e2e-failures/ folder.
set -uo pipefail
source "$(dirname "$0")/../../scripts/env.sh"
source "$KELVO_ROOT/scripts/drive.sh"
kelvo_workspace e2e || exit 1

fail() {
    echo "FAIL: $*"
    mkdir -p "$KELVO_WIN_BUILD/e2e-failures"
    import -display "$DISPLAY" -window root "$KELVO_WIN_BUILD/e2e-failures/download.png" 2>/dev/null
    exit 1
}
expect() { [ "$2" = "$3" ] || fail "$1: '$2', expected '$3'"; }

make_sample "$WORK/big.dlf" 20000 8000
start_target sim 2 --plan auto:3000 "$WORK/big.dlf" || fail "dlfsim"
start_kelvo "$WORK" || fail "no window"
connect "$WORK/big.dlf" || fail "no file dialog"
expect "the target" "$(verdict sim 240 | cut -d' ' -f1-3)" "RESULT ok bytes=20004"
# Connect comes back once the session is over: the dialog proves it.
connect "$WORK/saveinfo.cfg" || fail "Kelvo did not come back after the download"
expect "not a DLF file" "$("${DRIVE[@]}" boxes 10000 | tr -d '\r')" "Kelvo|This file is not DLF format."
expect "exit code" "$("${DRIVE[@]}" close 10000 | tr -d '\r')" 0
echo "PASS"
