#!/usr/bin/env bash
# Download throughput at 115200 bit/s: kelvo-cli and Kelvo.exe against the
# simulated target, paced like a real line, as a share of what the line can
# carry (every data byte costs the target's 06 and the byte itself: at most
# 115200 / 10 / 2 = 5760 data bytes a second).
#
#   bench/cli-vs-kelvo.sh            RUNS=5 bench/cli-vs-kelvo.sh
set -uo pipefail
source "$(dirname "$0")/../scripts/env.sh"
RUNS=${RUNS:-3}
LIMIT=5760
[ -x "$KELVO_WIN_BUILD/Kelvo.exe" ] && [ -x "$KELVO_BIN/kelvo-cli" ] || kelvo_build || exit 1
kelvo_workspace cli-bench || exit 1
make_sample "$WORK/image.dlf" 65532 65532
write_saveinfo "$WORK" 3 115200

share() { echo "$1 bytes in $2 ms = $(( $1 * 1000 / $2 )) B/s ($(( $1 * 100000 / $2 / LIMIT ))% of the line)"; }
xfer_ms() { verdict "$1" 120 | sed -n 's/^RESULT ok .*xfer_ms=\([0-9]*\).*/\1/p'; }

echo "64 KiB at 115200 bit/s, line limit $LIMIT B/s, $RUNS runs each"
for r in $(seq "$RUNS"); do
    start_target cli 3 --pace 115200 --plan auto:1024 "$WORK/image.dlf" || exit 1
    "$KELVO_BIN/kelvo-cli" --timeout 10 "$(sed -n 's/^PTY //p' "$WORK/cli.out")" "$WORK/image.dlf" >/dev/null 2>&1
    echo "  kelvo-cli, run $r: $(share 65536 "$(xfer_ms cli)")"
done
start_kelvo "$WORK" || exit 1
"${DRIVE[@]}" boxes 3000 >/dev/null                  # the start-up probe: no target on COM3 yet
for r in $(seq "$RUNS"); do
    start_target kelvo 3 --pace 115200 --plan auto:1024 "$WORK/image.dlf" || exit 1
    connect "$WORK/image.dlf"
    ms=$(xfer_ms kelvo)
    [ -n "$ms" ] && echo "  Kelvo.exe ($KELVO_WIN_ARCH), run $r: $(share 65536 "$ms")" ||
        echo "  Kelvo.exe, run $r: the download failed: $(verdict kelvo 1)"
done
