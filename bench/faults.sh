#!/usr/bin/env bash
# Line faults at the far end of the cable, measured: the time from a
# Disconnect (Ctrl+D, as a user) to the port being closed, and from the
# close box to the end of the process, for a target that holds XOFF and one
# that floods; for a target that vanishes mid-block, the time from its going
# to the session ending by itself (the port closed); Kelvo's memory before
# and after a flood.
#
#   bench/faults.sh
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ROOT/scripts/env.sh"
source "$ROOT/scripts/drive.sh"
source "$ROOT/bench/measure.sh"
kelvo_workspace faults || exit 1
ms() { echo $(( $(now_ms) - $1 )); }     # since $1 (now_ms)
make_sample "$WORK/f.dlf" 6000
write_saveinfo "$WORK" 3 115200

start_sim() { start_target t 3 "$@" "$WORK/f.dlf"; SIM=$SIM_PID; }
wait_served() { wait_for_line "$WORK/t.transcript" "holding|vanished" 120; }   # until the fault has struck
# Ctrl+D, then wait until no process of the prefix holds the pseudo
# terminal any more (the wineserver keeps the port's descriptor).
port_open() { pts_open "$(target_pts t)"; }
disconnect_ms() {
    port_open || echo "(the port was not seen open before the Disconnect)" >&2
    local t0; t0=$(now_ms)
    "${DRIVE[@]}" key 04
    for _ in $(seq 3000); do port_open || break; sleep 0.01; done
    ms "$t0"
}
# The time from now until the session has closed the port by itself.
ended_ms() {
    local t0; t0=$(now_ms)
    for _ in $(seq 3000); do port_open || break; sleep 0.01; done
    ms "$t0"
}
close_ms() { local t0; t0=$(now_ms); "${DRIVE[@]}" close 30000 >/dev/null; ms "$t0"; }

printf '%-34s %15s %12s\n' "fault" "Disconnect" "close box"
for fault in hold-xoff vanish flood; do
    case $fault in
    hold-xoff) opts=(--hold-xoff-after 1000 --duration 120) ;;
    vanish)    opts=(--vanish-after 1000) ;;
    flood)     opts=(--flood 100000000 --duration 120) ;;
    esac
    # Disconnect in the fault, then the close box in the same fault.
    start_sim "${opts[@]}"; start_kelvo "$WORK"
    connect "$WORK/f.dlf"
    if [ $fault = flood ]; then sleep 3; else wait_served; [ $fault = vanish ] || sleep 1; fi
    if [ $fault = flood ]; then RSS0=$(awk '/VmRSS/ {print $2}' "/proc/$KELVO_PID/status"); fi
    if [ $fault = vanish ]; then
        D="by itself $(ended_ms)"
    else
        D=$(disconnect_ms)
    fi
    if [ $fault = flood ]; then RSS1=$(awk '/VmRSS/ {print $2}' "/proc/$KELVO_PID/status"); fi
    kill "$SIM" 2>/dev/null; wait "$SIM" 2>/dev/null
    start_sim "${opts[@]}"
    connect "$WORK/f.dlf"
    if [ $fault = flood ]; then sleep 3; else wait_served; sleep 1; fi
    C=$(close_ms)
    kill "$SIM" 2>/dev/null; wait "$SIM" 2>/dev/null
    printf '%-34s %12s ms %9s ms\n' "$fault" "$D" "$C"
done
echo "Kelvo resident memory during a flood: ${RSS0} KiB, after Disconnect: ${RSS1} KiB"
