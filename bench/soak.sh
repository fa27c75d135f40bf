#!/usr/bin/env bash
# Soak: many randomised sessions against one running Kelvo. Random block
# plans, noise, wrong bytes, requests past the end, Disconnects at random
# moments. Nothing may crash or hang, every completed session must be
# verified by the target, and Kelvo's open descriptors and memory must not
# grow.
#
#   bench/soak.sh [SESSIONS] [SEED]     (default 300 sessions)
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ROOT/scripts/env.sh"
source "$ROOT/scripts/drive.sh"
SESSIONS=${1:-300}
SEED=${2:-$RANDOM}
RANDOM=$SEED
kelvo_workspace soak || exit 1
write_saveinfo "$WORK" 3 115200
start_kelvo "$WORK" || { echo "soak: Kelvo did not start"; exit 1; }
"${DRIVE[@]}" boxes 3000 >/dev/null       # the start-up probe: COM3 has no target yet
fds() { ls "/proc/$KELVO_PID/fd" 2>/dev/null | wc -l; }
rss() { awk '/VmRSS/ {print $2}' "/proc/$KELVO_PID/status" 2>/dev/null; }

# With XON/XOFF on, the line itself takes the bytes 11 and 13 as flow
# control: a request holding one never arrives. Plans avoid them.
holds_flow_byte() {    # VALUE BYTES
    local i
    for ((i = 0; i < $2; i++)); do
        case $(( ($1 >> (8 * i)) & 255 )) in 17|19) return 0 ;; esac
    done
    return 1
}
plan_fits_the_line() { # TOTAL BLOCK PAST_END
    local off len
    for ((off = 0; off < $1; off += $2)); do
        len=$(( $1 - off < $2 ? $1 - off : $2 ))
        holds_flow_byte "$off" 3 || holds_flow_byte "$len" 2 && return 1
    done
    [ "$3" = 0 ] || ! holds_flow_byte $(( $1 - 1 )) 3
}

completed=0 verified=0 broken=0 failures=0
FD0= RSS0=
for s in $(seq "$SESSIONS"); do
    # A block plan whose request bytes avoid 11 and 13: with XON/XOFF on, the
    # line itself takes those as flow control and the request never arrives.
    past_end=$(( RANDOM % 6 == 0 ))
    while :; do
        size=$(( 50 + RANDOM % 1500 )); block=$(( 1 + RANDOM % 700 ))
        plan_fits_the_line $(( size + 4 )) "$block" "$past_end" && break
    done
    make_sample "$WORK/f.dlf" "$size"
    opts=(--plan "auto:$block" --seed "$s")
    (( RANDOM % 4 == 0 )) && opts+=(--noise $(( RANDOM % 200 )))
    (( RANDOM % 5 == 0 )) && opts+=(--wrong-byte $(( RANDOM % 20 )))
    [ "$past_end" = 1 ] && opts+=(--past-end)
    disconnect_after=0
    (( RANDOM % 4 == 0 )) && disconnect_after=$(( 1 + RANDOM % 3 ))
    [ "$disconnect_after" -gt 0 ] && opts+=(--duration 30)
    start_target sim 3 "${opts[@]}" "$WORK/f.dlf" || { failures=$((failures + 1)); break; }
    SIM=$SIM_PID
    if ! connect "$WORK/f.dlf"; then
        echo "session $s: no file dialog (Kelvo hung?)"; failures=$((failures + 1)); kill $SIM; break
    fi
    if [ "$disconnect_after" -gt 0 ]; then
        sleep "$disconnect_after"
        "${DRIVE[@]}" key 04                     # Disconnect at a random moment
        sleep 0.5
        kill $SIM 2>/dev/null; wait $SIM 2>/dev/null
        broken=$((broken + 1))
    else
        if ! timeout 120 tail --pid=$SIM -f /dev/null; then
            echo "session $s: no verdict within 120 s (${opts[*]})"; failures=$((failures + 1))
            "${DRIVE[@]}" key 04; kill $SIM 2>/dev/null
        fi
        wait $SIM 2>/dev/null
        completed=$((completed + 1))
        if grep -q '^RESULT ok' "$WORK/sim.out"; then
            verified=$((verified + 1))
        else
            echo "session $s: $(grep '^RESULT' "$WORK/sim.out") (${opts[*]})"; failures=$((failures + 1))
            keep="${TMPDIR:-/tmp}/kelvo-soak-session-$s"
            mkdir -p "$keep" && cp "$WORK/f.dlf" "$WORK/sim.out" "$WORK/sim.transcript" "$keep/" &&
                echo "session $s: its file, verdict and transcript are kept in $keep"
            "${DRIVE[@]}" key 04                    # end the broken session
        fi
        sleep 0.3                                 # Kelvo closes the port by itself
    fi
    if ! kill -0 "$KELVO_PID" 2>/dev/null; then echo "session $s: Kelvo is gone"; failures=$((failures + 1)); break; fi
    if [ "$s" = 3 ]; then FD0=$(fds); RSS0=$(rss); fi
done
FD1=$(fds); RSS1=$(rss)
echo "soak: seed $SEED, $SESSIONS sessions: $completed ran to the end ($verified verified), $broken broken off by Disconnect, $failures failures"
[ -n "$FD0" ] && echo "soak: Kelvo's descriptors $FD0 -> $FD1, resident memory ${RSS0} -> ${RSS1} KiB"
ok=1
[ "$failures" = 0 ] || ok=0
if [ -n "$FD0" ] && [ "$FD1" -gt $(( FD0 + 4 )) ]; then echo "soak: descriptors grew"; ok=0; fi
if [ -n "$RSS0" ] && [ "$RSS1" -gt $(( RSS0 + 8192 )) ]; then echo "soak: memory grew by more than 8 MiB"; ok=0; fi
[ "$ok" = 1 ] && echo "soak: PASS" || echo "soak: FAIL"
[ "$ok" = 1 ]
