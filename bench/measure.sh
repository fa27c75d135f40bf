# Sourced after scripts/env.sh and scripts/drive.sh by the benchmarks that
# time a run or watch Kelvo's processes (bench/run, bench/faults.sh,
# bench/close.sh).

# The clock in milliseconds.
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# Processor time a process has used so far, in clock ticks.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }

# The wineserver that serves this project's prefix.
wineserver_pid() {
    local dir p
    dir=$(printf 'server-%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
    for p in $(pgrep -f wineserver); do
        [[ "$(readlink "/proc/$p/cwd")" == *"$dir" ]] && { echo "$p"; return; }
    done
}

# pts_open PTS: whether Kelvo or the wineserver (which keeps a port's
# descriptor) still holds the pseudo terminal PTS open.
pts_open() { ls -l "/proc/$(wineserver_pid)/fd" "/proc/$KELVO_PID/fd" 2>/dev/null | grep -q " $1\( \|$\)"; }
