# Sourced after env.sh by the scripts that show Kelvo's windows (test.sh,
# demo.sh, drive.sh and the kelvo launcher in the source tree): a display,
# and the clean-up that ends the run's Wine server and display.
source "$KELVO_ROOT/scripts/waits.sh"

# The display Kelvo's windows appear on: the one set in DISPLAY (which must
# answer), else Xvfb started on a free display. Sets KELVO_XVFB_PID then.
kelvo_display() {
    if [ -n "${DISPLAY:-}" ]; then
        xdpyinfo >/dev/null 2>&1 && return 0
        echo "kelvo: the display $DISPLAY does not answer (unset DISPLAY to run on a virtual one)" >&2
        return 1
    fi
    local n
    for n in $(seq 90 140); do
        if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
            Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
            KELVO_XVFB_PID=$!
            export DISPLAY=":$n"
            wait_for_file "/tmp/.X11-unix/X$n" 5 && return 0
        fi
    done
    echo "kelvo: could not start Xvfb" >&2
    return 1
}

kelvo_cleanup() {
    "$KELVO_WINESERVER" -k 2>/dev/null || true
    [ -n "${KELVO_XVFB_PID:-}" ] && kill "$KELVO_XVFB_PID" 2>/dev/null
    true
}
