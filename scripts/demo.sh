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
source "$ROOT/scripts/trees.sh"
source "$ROOT/scripts/drive.sh"

if [ ! -x "$KELVO_WIN_BUILD/Kelvo.exe" ] || [ ! -x "$KELVO_BIN/dlfsim" ] ||
   [ ! -x "$KELVO_WIN_BUILD/kelvo-drive.exe" ]; then
    echo "kelvo: building"
    kelvo_build || { echo "kelvo: build failed" >&2; exit 1; }
fi
kelvo_prefix_ready

WORK="$HERE/kelvo-demo"
mkdir -p "$WORK"
HEADLESS=0
[ -n "${DISPLAY:-}" ] || HEADLESS=1
kelvo_display || exit 1
trap 'jobs -p | grep -vx "${KELVO_XVFB_PID:-0}" | xargs -r kill 2>/dev/null; kelvo_cleanup' EXIT

# The sample: 48 KiB of dlftool's pattern, the CRC over the first 16 KiB.
SAMPLE="$WORK/sample.dlf"
make_sample "$SAMPLE" 49152 16384 || exit 1

# The port Kelvo will open: the one saved in saveinfo.cfg here, else COM2.
PORT=2
if [ -f "$HERE/saveinfo.cfg" ]; then
    PORT=$(od -An -tu1 -N1 "$HERE/saveinfo.cfg" | tr -d ' ')
fi
start_target dlfsim "$PORT" --plan auto:4096 "$SAMPLE" || exit 1
echo "kelvo: simulated target on $(head -n 1 "$WORK/dlfsim.out" | cut -d' ' -f2), mapped to COM$PORT"

START=$(date +%s.%N)
start_kelvo "$HERE" || { echo "kelvo: the window did not appear" >&2; exit 1; }
if [ "$HEADLESS" = 0 ]; then
    echo "kelvo: Kelvo is running. Choose Action > Connect (Ctrl+C) and pick $SAMPLE"
    echo "kelvo: waiting for the target's verdict (close Kelvo to stop)"
    wait "$SIM_PID"
else
    connect "$SAMPLE" || { echo "kelvo: no file dialog" >&2; exit 1; }
    wait "$SIM_PID"
    sleep 1                                                # let the last lines paint
    import -display "$DISPLAY" -window root "$WORK/kelvo.png" 2>/dev/null
    "${DRIVE[@]}" close 10000 >/dev/null
fi
END=$(date +%s.%N)

RESULT=$(verdict dlfsim 1)
BYTES=$(echo "$RESULT" | sed -n 's/.*bytes=\([0-9]*\).*/\1/p')
echo "kelvo: verdict of the simulated target: ${RESULT:-none}"
echo "kelvo: bytes sent and verified: ${BYTES:-0} of $(stat -c %s "$SAMPLE")"
echo "kelvo: time taken: $(awk -v a="$START" -v b="$END" 'BEGIN { printf "%.1f", b - a }') s"
[ -f "$WORK/kelvo.png" ] && echo "kelvo: screenshot of the final window: $WORK/kelvo.png"
echo "kelvo: transcript of the exchange: $WORK/dlfsim.transcript"
[[ "$RESULT" == "RESULT ok"* ]]
