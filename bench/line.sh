#!/usr/bin/env bash
# A production line's fixture in software: one kelvo-cli serves PORTS dlfsim
# targets (default 8) at once, each paced at 115200 bit/s, a 64 KiB image
# each. Measured in the same run, before and after it: one target served
# alone. Prints every port's rate, the aggregate against PORTS times the
# single-port rate (goal: at least 0.9) and kelvo-cli's processor time per
# port (goal: under 2% of a core). The same PORTS targets served by the
# least loop that can serve them (bench/linefloor.cpp: one epoll set, the
# protocol step, nothing else) show what the machine itself allows: the
# simulated targets, the pseudo terminals and the server share its cores.
#
#   bench/line.sh            PORTS=4 bench/line.sh
#
# Pacing: the script prints how the dlfsim in use describes --pace (whether
# only the target's bytes are charged wire time, or the PC's answers too).
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ROOT/scripts/env.sh"
source "$ROOT/scripts/drive.sh"
BIN="$KELVO_BIN"
PORTS=${PORTS:-8}
BAUD=115200

if [ ! -x "$BIN/kelvo-cli" ] || [ ! -x "$BIN/dlfsim" ] || [ ! -x "$BIN/linefloor" ]; then
    cmake -S "$ROOT" -B "$KELVO_HOST_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    cmake --build "$KELVO_HOST_BUILD" -j2 >/dev/null || exit 1
fi
WORK="$(mktemp -d /tmp/kelvo-line.XXXXXX)"
trap 'jobs -p | xargs -r kill 2>/dev/null; [ -n "${KEEP:-}" ] || rm -rf "$WORK"' EXIT

# 64 KiB: 4 header bytes and 65532 payload bytes, all covered.
make_sample "$WORK/image.dlf" 65532 65532 || exit 1

# seconds: "0m1.234s 0m0.567s" (a line of times) -> "1.234 0.567".
seconds() {
    sed 's/\([0-9]*\)m\([0-9.]*\)s/\1 \2/g' | awk '{ printf "%.3f %.3f\n", $1 * 60 + $2, $3 * 60 + $4 }'
}

# busy_ticks: the machine's busy and total clock ticks so far, all cores.
busy_ticks() {
    awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 + $9, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9 }' /proc/stat
}

# serve N NAME [floor]: N paced targets served by one kelvo-cli (or by the
# floor loop). Leaves the rows "port result bytes blocks seconds B/s" in
# NAME.table and the server's processor time (user and system seconds) in
# NAME.cpu.
serve() {
    local n=$1 name=$2 i ports=() sims=() cmd
    for i in $(seq "$n"); do
        ( "$BIN/dlfsim" --pace $BAUD --start-delay 0 --plan auto:1024 "$WORK/image.dlf" \
              > "$WORK/$name.sim$i" 2>&1
          times > "$WORK/$name.targettimes$i" ) &
        sims+=($!)
    done
    for i in $(seq "$n"); do
        wait_for_line "$WORK/$name.sim$i" '^PTY ' 10 || return 1
        ports+=("$(sed -n 's/^PTY //p' "$WORK/$name.sim$i")")
    done
    if [ "${3:-}" = floor ]; then
        cmd=("$BIN/linefloor" "$WORK/image.dlf" "${ports[@]}")
    else
        cmd=("$BIN/kelvo-cli" --timeout 10 "${ports[@]}" "$WORK/image.dlf")
    fi
    # times in a subshell counts the server alone: its only child.
    busy_ticks > "$WORK/$name.busy"
    ( "${cmd[@]}" > "$WORK/$name.out" 2> "$WORK/$name.err"
      echo $? > "$WORK/$name.rc"
      times > "$WORK/$name.times" )
    busy_ticks >> "$WORK/$name.busy"
    wait "${sims[@]}"
    if [ "$(cat "$WORK/$name.rc")" != 0 ] || grep -L '^RESULT ok' "$WORK/$name".sim* | grep -q .; then
        echo "line: a download failed ($name)" >&2
        tail -n 3 "$WORK/$name.err" "$WORK/$name".sim* >&2
        return 1
    fi
    # The server's processor time, and the targets' together.
    tail -n 1 "$WORK/$name.times" | seconds > "$WORK/$name.cpu"
    tail -q -n 1 "$WORK/$name".targettimes* | seconds |
        awk '{ u += $1; s += $2 } END { printf "%.3f %.3f\n", u, s }' > "$WORK/$name.targetcpu"
    # The floor loop and one port print a line per port; several ports a table.
    if [ "${3:-}" = floor ]; then
        awk '{ printf "%s ok %d 0 %s %d\n", $1, $3, $6, $3 / $6 }' "$WORK/$name.out" > "$WORK/$name.table"
    elif [ "$n" = 1 ]; then
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
serve "$PORTS" floor floor || exit 1
serve 1 after || exit 1

printf '%-14s %8s %8s %8s\n' port bytes seconds 'B/s'
awk '{ printf "%-14s %8d %8.2f %8.0f\n", $1, $3, $5, $6 }' "$WORK/many.table"
single_before=$(awk '{ print $3 / $5 }' "$WORK/before.table")
single_after=$(awk '{ print $3 / $5 }' "$WORK/after.table")
printf 'single port: %.0f B/s before, %.0f B/s after\n' "$single_before" "$single_after"
# One server's figures: the aggregate, all bytes over the longest port's time
# (the ports start within milliseconds of each other), against PORTS single
# ports, and its processor time per port.
# Beside it: the targets' processor time per port and how busy the machine
# was (all its cores) while the server ran.
figures() {
    local who=$1 name=$2 user sys simuser simsys busy
    read -r user sys < "$WORK/$name.cpu"
    read -r simuser simsys < "$WORK/$name.targetcpu"
    busy=$(awk 'NR == 1 { b = $1; t = $2 } NR == 2 { printf "%.0f", 100 * ($1 - b) / ($2 - t) }' "$WORK/$name.busy")
    awk -v who="$who" -v n="$PORTS" -v b="$single_before" -v a="$single_after" -v u="$user" -v s="$sys" \
        -v tu="$simuser" -v ts="$simsys" -v busy="$busy" -v cores="$(nproc)" '
        { bytes += $3; if ($5 > span) span = $5 }
        END {
            agg = bytes / span
            printf "%-10s aggregate %6.0f B/s = %.2f x %d x single; %.2f s user + %.2f s system over %.1f s = %.2f%% of a core per port\n",
                   who, agg, agg / (n * (b + a) / 2), n, u, s, span, 100 * (u + s) / span / n
            printf "%-10s meanwhile: each target %.1f%% of a core; the machine %s%% busy (%d cores)\n",
                   "", 100 * (tu + ts) / span / n, busy, cores
        }' "$WORK/$name.table"
}
figures kelvo-cli many
figures floor floor
echo "goals for kelvo-cli: aggregate at least 0.90 x; under 2% of a core per port"
