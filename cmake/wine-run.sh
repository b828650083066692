#!/usr/bin/env bash
# Runs a Windows program under wine for CTest and GoogleTest's test discovery: the wine
# prefix of WINEPREFIX (wine's default when unset), no wine diagnostics, and
# standard output with the carriage returns of Windows' text mode removed, so that the test
# lists parse as on Linux. The program's exit code is kept.
set -o pipefail
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win64
wine=$(command -v wine) || { echo "wine-run.sh: wine is not installed" >&2; exit 2; }
"$wine" "$@" | tr -d '\r'
