#!/bin/sh
# Runs a cross-built Windows program under Wine with the build's private prefix and quiet
# logging. WINEPREFIX may be set by the caller; the default lies in build-win/.
: "${WINEPREFIX:=$(cd "$(dirname "$0")/.." && pwd)/build-win/wineprefix}"
: "${WINEDEBUG:=-all}"
export WINEPREFIX WINEDEBUG
exec /usr/lib/wine/wine64 "$@"
