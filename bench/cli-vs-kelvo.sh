#!/usr/bin/env bash
# Download throughput at 115200 bit/s: kelvo-cli against the simulated target.
#
# Builds nothing. Binaries are taken from the environment or the default
# build directory:
#   KELVO_BIN   directory of dlfsim and dlftool (default build-host/bin)
#   KELVO_CLI   the kelvo-cli binary            (default $KELVO_BIN/kelvo-cli)
#   RUNS        number of downloads to time     (default 3)
#
# The target is paced like a real line at 115200 bit/s (10 bit times per
# byte). Every data byte costs the target's 06 and the data byte itself, so
# the line limit for data is 115200 / 10 / 2 = 5760 B/s; the figure reported
# is the share of that limit that was reached.
set -u

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BIN=${KELVO_BIN:-$ROOT/build-host/bin}
CLI=${KELVO_CLI:-$BIN/kelvo-cli}
SIM=$BIN/dlfsim
TOOL=$BIN/dlftool
RUNS=${RUNS:-3}
LIMIT=5760

for exe in "$CLI" "$SIM" "$TOOL"; do
    if [ ! -x "$exe" ]; then
        echo "cli-vs-kelvo: $exe not found (set KELVO_BIN / KELVO_CLI)" >&2
        exit 2
    fi
done

WORK=$(mktemp -d /tmp/cli-bench-XXXXXX)
SIM_PID=
cleanup() {
    [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

# 64 KiB image: 4 header bytes and 65532 payload bytes, all covered.
head -c 65532 /dev/urandom > "$WORK/payload.bin"
"$TOOL" make "$WORK/payload.bin" -o "$WORK/image.dlf" --cover 65532 > /dev/null || exit 1

# One download; prints "<data bytes> <ms>" as kelvo-cli measured it.
run_cli() {
    : > "$WORK/sim.out"
    "$SIM" --pace 115200 --start-delay 0 --plan auto:1024 "$WORK/image.dlf" \
        > "$WORK/sim.out" 2> "$WORK/sim.err" &
    SIM_PID=$!
    local port= i
    for i in $(seq 100); do
        port=$(sed -n 's/^PTY //p' "$WORK/sim.out" | head -n 1)
        [ -n "$port" ] && break
        sleep 0.05
    done
    if [ -z "$port" ]; then
        echo "cli-vs-kelvo: dlfsim did not start" >&2
        return 1
    fi
    local summary
    summary=$("$CLI" --timeout 10 "$port" "$WORK/image.dlf" 2> "$WORK/cli.err")
    local rc=$?
    wait "$SIM_PID"
    local simrc=$?
    SIM_PID=
    if [ $rc -ne 0 ] || [ $simrc -ne 0 ]; then
        echo "cli-vs-kelvo: download failed (kelvo-cli $rc, dlfsim $simrc)" >&2
        tail -n 3 "$WORK/cli.err" "$WORK/sim.out" >&2
        return 1
    fi
    # served 65536 bytes in 64 blocks, 11.52 s, 5689 B/s
    echo "$summary" | awk '{ printf "%d %d\n", $2, $7 * 1000 }'
}

echo "kelvo-cli: 64 KiB at 115200 bit/s, line limit $LIMIT B/s, $RUNS runs"
best=0
for r in $(seq "$RUNS"); do
    figures=$(run_cli) || exit 1
    set -- $figures
    rate=$(( $1 * 1000 / ($2 > 0 ? $2 : 1) ))
    pct=$(( rate * 100 / LIMIT ))
    echo "  run $r: $1 bytes in $2 ms = $rate B/s ($pct% of the line)"
    [ $rate -gt $best ] && best=$rate
done
echo "kelvo-cli: best $best B/s = $(( best * 100 / LIMIT ))% of $LIMIT B/s (aim: 90%)"

# ---- Kelvo.exe under Wine --------------------------------------------------
# The same image, the same paced target, served by the download station
# itself, driven like a user (Ctrl+C, the file typed into the file dialog).
source "$ROOT/scripts/env.sh"
if [ ! -x "$KELVO_WIN_BUILD/Kelvo.exe" ] || [ ! -x "$KELVO_WIN_BUILD/kelvo-drive.exe" ]; then
    echo "Kelvo.exe: not built (run scripts/test.sh or scripts/demo.sh once)"
    exit 0
fi
kelvo_prefix_ready
kelvo_display || exit 1
trap 'cleanup; "$KELVO_WINE" "$KELVO_WIN_BUILD/kelvo-drive.exe" close 5000 >/dev/null 2>&1; rm -f "$WINEPREFIX/dosdevices/com3"; kelvo_cleanup' EXIT
printf '\x03\x00\x00\x00\x00\xc2\x01\x00' > "$WORK/saveinfo.cfg"
"$SIM" --pace 115200 --plan auto:1024 --link "$WINEPREFIX/dosdevices/com3" "$WORK/image.dlf" \
    > "$WORK/ksim.out" 2>/dev/null &
SIM_PID=$!
for i in $(seq 100); do grep -q '^PTY' "$WORK/ksim.out" && break; sleep 0.05; done
(cd "$WORK" && exec "$KELVO_WINE" "$KELVO_WIN_BUILD/Kelvo.exe" >/dev/null 2>&1) &
"$KELVO_WINE" "$KELVO_WIN_BUILD/kelvo-drive.exe" wait-window 30000
"$KELVO_WINE" "$KELVO_WIN_BUILD/kelvo-drive.exe" key 03
"$KELVO_WINE" "$KELVO_WIN_BUILD/kelvo-drive.exe" open-file "Z:${WORK//\//\\}\\image.dlf" 20000
wait "$SIM_PID"; SIM_PID=
ms=$(sed -n 's/^RESULT ok .*xfer_ms=\([0-9]*\).*/\1/p' "$WORK/ksim.out")
if [ -n "$ms" ]; then
    rate=$(( 65536 * 1000 / (ms > 0 ? ms : 1) ))
    echo "Kelvo.exe under Wine: 65536 bytes in $ms ms = $rate B/s ($(( rate * 100 / LIMIT ))% of the line)"
else
    echo "Kelvo.exe under Wine: the download failed: $(grep RESULT "$WORK/ksim.out")"
fi
