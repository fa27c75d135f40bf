#!/usr/bin/env bash
# A production line's fixture in software: one kelvo-cli serves PORTS dlfsim
# targets (default 8) at once, each paced at 115200 bit/s, a 64 KiB image
# each. Measured in the same run, before and after it: one target served
# alone. Prints every port's rate, the aggregate against PORTS times the
# single-port rate (goal: at least 0.9) and kelvo-cli's processor time per
# port (goal: under 2% of a core).
#
#   bench/line.sh            PORTS=4 bench/line.sh
#
# Pacing: the script prints how the dlfsim in use describes --pace (whether
# only the target's bytes are charged wire time, or the PC's answers too).
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ROOT/scripts/env.sh"
BIN="$KELVO_BIN"
PORTS=${PORTS:-8}
BAUD=115200

if [ ! -x "$BIN/kelvo-cli" ] || [ ! -x "$BIN/dlfsim" ]; then
    cmake -S "$ROOT" -B "$KELVO_HOST_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    cmake --build "$KELVO_HOST_BUILD" -j2 >/dev/null || exit 1
fi
WORK="$(mktemp -d /tmp/kelvo-line.XXXXXX)"
trap 'jobs -p | xargs -r kill 2>/dev/null; [ -n "${KEEP:-}" ] || rm -rf "$WORK"' EXIT

# 64 KiB: 4 header bytes and 65532 payload bytes, all covered.
make_sample "$WORK/image.dlf" 65532 65532 || exit 1

# serve N NAME: N paced targets served by one kelvo-cli. Leaves its table in
# NAME.table and its processor time (user and system seconds) in NAME.cpu.
serve() {
    local n=$1 name=$2 i ports=() sims=()
    for i in $(seq "$n"); do
        "$BIN/dlfsim" --pace $BAUD --start-delay 0 --plan auto:1024 "$WORK/image.dlf" \
            > "$WORK/$name.sim$i" 2>&1 &
        sims+=($!)
    done
    for i in $(seq "$n"); do
        wait_for_line "$WORK/$name.sim$i" '^PTY ' 10 || return 1
        ports+=("$(sed -n 's/^PTY //p' "$WORK/$name.sim$i")")
    done
    # times in a subshell counts kelvo-cli alone: its only child.
    ( "$BIN/kelvo-cli" --timeout 10 "${ports[@]}" "$WORK/image.dlf" \
        > "$WORK/$name.out" 2> "$WORK/$name.err"
      echo $? > "$WORK/$name.rc"
      times > "$WORK/$name.times" )
    wait "${sims[@]}"
    if [ "$(cat "$WORK/$name.rc")" != 0 ] || grep -L '^RESULT ok' "$WORK/$name".sim* | grep -q .; then
        echo "line: a download failed ($name)" >&2
        tail -n 3 "$WORK/$name.err" "$WORK/$name".sim* >&2
        return 1
    fi
    # "0m1.234s 0m0.567s" -> "1.234 0.567"
    tail -n 1 "$WORK/$name.times" | sed 's/\([0-9]*\)m\([0-9.]*\)s/\1 \2/g' |
        awk '{ printf "%.3f %.3f\n", $1 * 60 + $2, $3 * 60 + $4 }' > "$WORK/$name.cpu"
    # One port prints its served line; several a table.
    if [ "$n" = 1 ]; then
        awk '{ printf "%s ok %d %d %s %d\n", "port", $2, $5, $7, $9 }' "$WORK/$name.out" > "$WORK/$name.table"
    else
        tail -n +2 "$WORK/$name.out" > "$WORK/$name.table"
    fi
}

# Which pacing: dlfsim's own description of --pace.
pacing=$("$BIN/dlfsim" --help | sed -n '/^  --pace/,/^  --reply/p' | sed '$d' | sed 's/^ *--pace BAUD *//; s/^ *//' | tr '\n' ' ')
echo "line: $PORTS ports, 64 KiB each, dlfsim --pace $BAUD: $pacing"
serve 1 before || exit 1
serve "$PORTS" many || exit 1
serve 1 after || exit 1

printf '%-14s %8s %8s %8s\n' port bytes seconds 'B/s'
awk '{ printf "%-14s %8d %8.2f %8.0f\n", $1, $3, $5, $6 }' "$WORK/many.table"
single_before=$(awk '{ print $3 / $5 }' "$WORK/before.table")
single_after=$(awk '{ print $3 / $5 }' "$WORK/after.table")
read -r user sys < "$WORK/many.cpu"
# The aggregate: all bytes over the longest port's time (the ports start
# within milliseconds of each other).
awk -v n="$PORTS" -v b="$single_before" -v a="$single_after" -v u="$user" -v s="$sys" '
    { bytes += $3; if ($5 > span) span = $5 }
    END {
        single = (b + a) / 2
        agg = bytes / span
        printf "single port: %.0f B/s before, %.0f B/s after\n", b, a
        printf "aggregate: %.0f B/s = %.2f x %d x single (goal: at least 0.90)\n", agg, agg / (n * single), n
        printf "kelvo-cli: %.2f s user + %.2f s system over %.1f s = %.2f%% of a core per port (goal: under 2%%)\n",
               u, s, span, 100 * (u + s) / span / n
    }' "$WORK/many.table"
