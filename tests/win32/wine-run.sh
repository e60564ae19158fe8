#!/usr/bin/env bash
# Runs a Windows test program under wine: wine-run.sh [--display] PROGRAM.exe [ARGS...]
# --display gives it a virtual X display (xvfb-run), for tests that make windows.
# WINEPREFIX comes from the caller (ctest sets one under the build directory);
# a new prefix takes 20 to 30 seconds to set up on its first use.
# Exit 77 (skipped) when wine or, for --display, xvfb-run is missing.
set -euo pipefail

display=0
if [ "${1:-}" = --display ]; then display=1; shift; fi
command -v wine >/dev/null || { echo "wine-run: wine is not installed (tools/install-deps --windows)"; exit 77; }
if [ "$display" = 1 ] && ! command -v xvfb-run >/dev/null; then
  echo "wine-run: xvfb-run is not installed (tools/install-deps --windows)"; exit 77
fi

export WINEDEBUG=-all
# A Western locale gives wine the ANSI code page 1252: a text that reaches
# Windows without the program's explicit code page 932 conversion then comes
# out wrong and fails its test, as it would on a Windows that is not Japanese.
export LANG=${WINE_RUN_LANG:-C.UTF-8} LC_ALL=${WINE_RUN_LANG:-C.UTF-8}
: "${WINEPREFIX:?wine-run: set WINEPREFIX}"
export WINEPREFIX
mkdir -p "$WINEPREFIX"

status=0
if [ "$display" = 1 ]; then
  xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" wine "$@" || status=$?
else
  wine "$@" || status=$?
fi
# The prefix's wineserver outlives the program by a few seconds; end it now so
# that no process stays behind the test.
wineserver -k 2>/dev/null || true
exit "$status"
