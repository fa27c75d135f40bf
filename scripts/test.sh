#!/usr/bin/env bash
# Builds Kelvo and runs every test: the native tests of the host tools and
# the Windows tests under Wine (on Xvfb when there is no display).
# Prints CTest's summary; the exit status is non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
source scripts/env.sh
# Targets of a run that was killed still hold COM mappings of the prefix the
# tests use: they go before the run, and this run's go after it.
reap_targets() { pkill -f -- "--link $WINEPREFIX/dosdevices/" 2>/dev/null; true; }
reap_targets
trap 'reap_targets; kelvo_cleanup' EXIT

echo "kelvo: building (Windows $KELVO_WIN_ARCH tests, native tools)"
kelvo_build || { echo "kelvo: build failed" >&2; exit 1; }
kelvo_prefix_ready
kelvo_display || exit 1

ctest --test-dir "$KELVO_WIN_BUILD" --output-on-failure -j2 "$@"
