#!/usr/bin/env bash
# Builds Kelvo and runs every test: the native tests of the host tools and
# the Windows tests under Wine (on Xvfb when there is no display).
# Prints CTest's summary; the exit status is non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
source scripts/env.sh
source scripts/trees.sh
source scripts/display.sh
# Targets of a run that was killed still hold COM mappings of the prefix the
# tests use: they go before the run, and this run's go after it.
reap_targets() { pkill -f -- "--link $WINEPREFIX/dosdevices/" 2>/dev/null; true; }
reap_targets
trap 'reap_targets; kelvo_cleanup' EXIT

echo "kelvo: building (native tools, Windows trees)"
kelvo_build || { echo "kelvo: build failed" >&2; exit 1; }
kelvo_prefix_ready
kelvo_display || exit 1
if [ "$KELVO_WIN_ARCH" = i686 ]; then
    echo "kelvo: the tests run the i686 tree, $(kelvo_build_name)"
elif kelvo_can_run_32bit; then
    echo "kelvo: the tests run the x86_64 tree, $(kelvo_build_name), as asked (KELVO_WIN_ARCH=x86_64); the i686 tree is compiled only"
else
    echo "kelvo: this kernel runs no 32-bit programs: the tests run the x86_64 tree, $(kelvo_build_name); the i686 tree is compiled only"
fi

ctest --test-dir "$KELVO_WIN_BUILD" --output-on-failure -j2 "$@"
