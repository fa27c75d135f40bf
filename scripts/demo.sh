#!/usr/bin/env bash
# The demo: Kelvo serves the simulated target on a pseudo terminal mapped to
# the saved port (COM2 unless saveinfo.cfg here says otherwise).
# With a display you click Connect and pick the sample; without one Kelvo
# runs on Xvfb and is driven as a user would drive it, and a screenshot of
# the final window is saved. Exit status 0 only when the target verified
# every byte it received.
set -uo pipefail
HERE="$(pwd)"
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
bash "$ROOT/scripts/setup.sh" || exit 1
source "$ROOT/scripts/env.sh"

if [ ! -x "$KELVO_WIN_BUILD/Kelvo.exe" ] || [ ! -x "$KELVO_HOST_BUILD/bin/dlfsim" ] ||
   [ ! -x "$KELVO_WIN_BUILD/kelvo-drive.exe" ]; then
    echo "kelvo: building"
    kelvo_build || { echo "kelvo: build failed" >&2; exit 1; }
fi
kelvo_prefix_ready

OUT="$HERE/kelvo-demo"
mkdir -p "$OUT"
HEADLESS=0
if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then HEADLESS=1; fi
kelvo_display || exit 1
cleanup() {
    [ -n "${SIM_PID:-}" ] && kill "$SIM_PID" 2>/dev/null
    [ -n "${KELVO_PID:-}" ] && kill "$KELVO_PID" 2>/dev/null
    kelvo_cleanup
}
trap cleanup EXIT

# The sample: 48 KiB of a repeating pattern, the CRC over the first 16 KiB.
SAMPLE="$OUT/sample.dlf"
python3 -c "import sys; sys.stdout.buffer.write(bytes((i * 7 + (i >> 8)) & 0xFF for i in range(49152)))" > "$OUT/sample.bin"
"$KELVO_HOST_BUILD/bin/dlftool" make "$OUT/sample.bin" -o "$SAMPLE" --cover 16384 >/dev/null || exit 1

# The port Kelvo will open: the one saved in saveinfo.cfg here, else COM2.
PORT=2
if [ -f "$HERE/saveinfo.cfg" ]; then
    PORT=$(od -An -tu1 -N1 "$HERE/saveinfo.cfg" | tr -d ' ')
fi
LINK="$WINEPREFIX/dosdevices/com$PORT"

"$KELVO_HOST_BUILD/bin/dlfsim" --link "$LINK" --plan auto:4096 --transcript "$OUT/transcript.txt" \
    "$SAMPLE" > "$OUT/dlfsim.txt" 2> "$OUT/dlfsim.err" &
SIM_PID=$!
for _ in $(seq 100); do grep -q '^PTY' "$OUT/dlfsim.txt" 2>/dev/null && break; sleep 0.05; done
echo "kelvo: simulated target on $(head -1 "$OUT/dlfsim.txt" | cut -d' ' -f2), mapped to COM$PORT"

START=$(date +%s.%N)
"$KELVO_WINE" "$KELVO_WIN_BUILD/Kelvo.exe" > "$OUT/kelvo.log" 2>&1 &
KELVO_PID=$!
DRIVE=("$KELVO_WINE" "$KELVO_WIN_BUILD/kelvo-drive.exe")

if [ "$HEADLESS" = 0 ]; then
    echo "kelvo: Kelvo is running. Choose Action > Connect (Ctrl+C) and pick $SAMPLE"
    echo "kelvo: waiting for the target's verdict (close Kelvo to stop)"
    wait "$SIM_PID"; SIM_RC=$?; SIM_PID=
else
    "${DRIVE[@]}" wait-window 30000 || { echo "kelvo: the window did not appear" >&2; exit 1; }
    "${DRIVE[@]}" key 03                                   # Ctrl+C: Connect
    "${DRIVE[@]}" open-file "Z:${SAMPLE//\//\\}" 20000 || { echo "kelvo: no file dialog" >&2; exit 1; }
    wait "$SIM_PID"; SIM_RC=$?; SIM_PID=
    sleep 1                                                # let the last lines paint
    import -display "$DISPLAY" -window root "$OUT/kelvo.png" 2>/dev/null
    "${DRIVE[@]}" close 10000 >/dev/null
fi
END=$(date +%s.%N)

RESULT=$(grep '^RESULT' "$OUT/dlfsim.txt" | tail -1)
BYTES=$(echo "$RESULT" | sed -n 's/.*bytes=\([0-9]*\).*/\1/p')
echo "kelvo: verdict of the simulated target: ${RESULT:-none}"
echo "kelvo: bytes sent and verified: ${BYTES:-0} of $(stat -c %s "$SAMPLE")"
printf "kelvo: time taken: %s s\n" "$(python3 -c "print(round($END - $START, 1))")"
[ -f "$OUT/kelvo.png" ] && echo "kelvo: screenshot of the final window: $OUT/kelvo.png"
echo "kelvo: transcript of the exchange: $OUT/transcript.txt"
[ "${SIM_RC:-1}" = 0 ] && [[ "$RESULT" == "RESULT ok"* ]]
