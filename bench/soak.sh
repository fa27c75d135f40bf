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
SESSIONS=${1:-300}
SEED=${2:-$RANDOM}
RANDOM=$SEED
BIN="$KELVO_HOST_BUILD/bin"
kelvo_bench_setup soak || exit 1

printf '\x03\x00\x00\x00\x00\xc2\x01\x00' > "$WORK/saveinfo.cfg"
(cd "$WORK" && exec "$KELVO_WINE" "$KELVO_WIN_BUILD/Kelvo.exe" >/dev/null 2>&1) &
"${DRIVE[@]}" wait-window 30000 || { echo "soak: Kelvo did not start"; exit 1; }
"${DRIVE[@]}" boxes 3000 >/dev/null       # the start-up probe: COM3 has no target yet
KPID=$(pgrep -n -f 'Kelvo\.exe')
fds() { ls "/proc/$KPID/fd" 2>/dev/null | wc -l; }
rss() { awk '/VmRSS/ {print $2}' "/proc/$KPID/status" 2>/dev/null; }

completed=0 verified=0 broken=0 failures=0
FD0= RSS0=
for s in $(seq "$SESSIONS"); do
    # A block plan whose request bytes avoid 11 and 13: with XON/XOFF on, the
    # line itself takes those as flow control and the request never arrives.
    past_end=$(( RANDOM % 6 == 0 ))
    while :; do
        size=$(( 50 + RANDOM % 1500 )); block=$(( 1 + RANDOM % 700 ))
        python3 -c "
import sys
total, blk = $size + 4, $block
requests = [(off, min(blk, total - off)) for off in range(0, total, blk)]
if $past_end:
    requests.append((total - 1, 2))
for off, ln in requests:
    if {0x11, 0x13} & set(ln.to_bytes(2, 'big') + off.to_bytes(3, 'big')):
        sys.exit(1)" && break
    done
    python3 -c "import random,sys; r=random.Random($s*7+$SEED); sys.stdout.buffer.write(bytes(r.randrange(256) for _ in range($size)))" > "$WORK/f.bin"
    "$BIN/dlftool" make "$WORK/f.bin" -o "$WORK/f.dlf" >/dev/null
    opts=(--plan "auto:$block" --seed "$s")
    (( RANDOM % 4 == 0 )) && opts+=(--noise $(( RANDOM % 200 )))
    (( RANDOM % 5 == 0 )) && opts+=(--wrong-byte $(( RANDOM % 20 )))
    [ "$past_end" = 1 ] && opts+=(--past-end)
    disconnect_after=0
    (( RANDOM % 4 == 0 )) && disconnect_after=$(( 1 + RANDOM % 3 ))
    [ "$disconnect_after" -gt 0 ] && opts+=(--duration 30)
    "$BIN/dlfsim" --link "$COM3" --transcript "$WORK/transcript.txt" "${opts[@]}" "$WORK/f.dlf" > "$WORK/sim.out" 2>&1 &
    SIM=$!
    for _ in $(seq 100); do grep -q '^PTY' "$WORK/sim.out" && break; sleep 0.05; done
    "${DRIVE[@]}" key 03
    if ! "${DRIVE[@]}" open-file "Z:${WORK//\//\\}\\f.dlf" 20000; then
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
            mkdir -p "$keep" && cp "$WORK/f.dlf" "$WORK/sim.out" "$WORK/transcript.txt" "$keep/" &&
                echo "session $s: its file, verdict and transcript are kept in $keep"
            "${DRIVE[@]}" key 04                    # end the broken session
        fi
        sleep 0.3                                 # Kelvo closes the port by itself
    fi
    if ! kill -0 "$KPID" 2>/dev/null; then echo "session $s: Kelvo is gone"; failures=$((failures + 1)); break; fi
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
