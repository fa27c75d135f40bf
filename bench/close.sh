#!/usr/bin/env bash
# A port whose close hangs, among others: one kelvo-cli serves 4 dlfsim
# targets. The first is served at full speed and its close then takes 30 s
# (the line rig plays a USB serial driver waiting its closing_wait for output
# that XOFF holds); the other three are paced at 115200 bit/s, both ways, a
# 64 KiB image each. The same run without the hanging close comes before and
# after it. Prints the other three ports' rates in each run, their ratio to
# the runs without, how long each run took, and how long Ctrl+C takes to end
# a run whose close hangs.
#
#   bench/close.sh
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ROOT/scripts/env.sh"
source "$ROOT/scripts/drive.sh"
source "$ROOT/bench/measure.sh"
BIN="$KELVO_BIN"
if [ ! -x "$BIN/kelvo-cli" ] || [ ! -x "$BIN/dlfsim" ] || [ ! -e "$BIN/libkelvo-rig.so" ]; then
    cmake -S "$ROOT" -B "$KELVO_HOST_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    cmake --build "$KELVO_HOST_BUILD" -j2 >/dev/null || exit 1
fi
WORK="$(mktemp -d /tmp/kelvo-close.XXXXXX)"
trap 'jobs -p | xargs -r kill 2>/dev/null; [ -n "${KEEP:-}" ] || rm -rf "$WORK"' EXIT
export KELVO_RIG="$WORK/rig"
mkdir -p "$KELVO_RIG"
make_sample "$WORK/image.dlf" 65532 65532 || exit 1

# run NAME HANG [interrupt]: the four targets, the first one's close taking
# HANG ms (0: no hang). Leaves kelvo-cli's table in NAME.out, the run's
# milliseconds in NAME.ms.
run() {
    local name=$1 hang=$2 i ports=() sims=() t0
    for i in 1 2 3 4; do
        local opts=(--pace 115200)
        [ "$i" = 1 ] && opts=()
        [ "$i" = 1 ] && [ "$hang" != 0 ] && opts+=(--hang-close "$hang")
        "$BIN/dlfsim" --start-delay 0 --plan auto:1024 "${opts[@]}" "$WORK/image.dlf" > "$WORK/$name.sim$i" 2>&1 &
        sims+=($!)
    done
    for i in 1 2 3 4; do
        wait_for_line "$WORK/$name.sim$i" '^PTY ' 10 || return 1
        ports+=("$(sed -n 's/^PTY //p' "$WORK/$name.sim$i")")
    done
    t0=$(now_ms)
    LD_PRELOAD="$BIN/libkelvo-rig.so" "$BIN/kelvo-cli" --timeout 10 "${ports[@]}" "$WORK/image.dlf" \
        > "$WORK/$name.out" 2> "$WORK/$name.err" &
    local cli=$!
    if [ "${3:-}" = interrupt ]; then
        # Ctrl+C while the others are served: the first port's close hangs by then.
        sleep 3
        t0=$(now_ms)
        kill -INT $cli
    fi
    wait $cli
    echo $(( $(now_ms) - t0 )) > "$WORK/$name.ms"
    kill "${sims[@]}" 2>/dev/null
    wait "${sims[@]}" 2>/dev/null
    return 0
}

rates() { tail -n +3 "$WORK/$1.out" | awk '{ printf "%s ", $6 }'; }
total() { tail -n +3 "$WORK/$1.out" | awk '{ s += $6 } END { print s }'; }
run before 0 || exit 1
run hang 30000 || exit 1
run after 0 || exit 1
run stop 30000 interrupt || exit 1
printf '%-32s %-22s %8s\n' run "B/s of ports 2-4" "run ms"
for r in before hang after; do
    printf '%-32s %-22s %8s\n' "$r$( [ $r = hang ] && echo ' (port 1: close 30 s)')" "$(rates $r)" "$(cat "$WORK/$r.ms")"
done
awk -v h="$(total hang)" -v b="$(total before)" -v a="$(total after)" \
    'BEGIN { printf "ports 2-4 with the hanging close: %.3f x their rate without it\n", h / ((b + a) / 2) }'
echo "Ctrl+C while port 1's close hangs: the run ended $(cat "$WORK/stop.ms") ms later"
