# Sourced (after env.sh) by display.sh, drive.sh and the scripts that wait
# for a file or a line themselves: waits for an event, bounded.

# wait_until SECONDS COMMAND...: until COMMAND succeeds; non-zero when the
# time is up.
wait_until() {
    local i limit=$(( $1 * 20 ))
    shift
    for ((i = 0; i < limit; i++)); do
        "$@" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}

# wait_for_line FILE REGEX SECONDS: until a line of FILE matches.
wait_for_line() {
    wait_until "$3" grep -qE "$2" "$1" && return 0
    echo "kelvo: no line matching '$2' in $1 within $3 s" >&2
    return 1
}

# wait_for_file PATH SECONDS: until PATH exists.
wait_for_file() { wait_until "$2" test -e "$1"; }
