#!/usr/bin/env bash
# The installer and the check as a person sees them, under wine64, in a prefix of their own:
# a port COM3 whose keys list serenum and other as upper filters, behind it nmeafilt run
# between a simulated receiver and the port, and the idle stand-in driver as the file to
# install. Prints each command and what it printed; Wine's own messages are kept out.
#
# usage: scripts/wine_walkthrough.sh [native build dir] [x86-64 Windows build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
native=${1:-build}
build=${2:-build-win64}
nmeafilt="$native/src/host/nmeafilt/nmeafilt"
wine=${WINE:-/usr/lib/wine/wine64}
wineserver=${WINESERVER:-/usr/lib/wine/wineserver}

cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake \
    --no-warn-unused-cli >/dev/null
cmake --build "$build" -j2 >/dev/null
[ -x "$nmeafilt" ] || cmake --build "$native" -j2 --target nmeafilt >/dev/null

work=$(mktemp -d /tmp/nmeafilt-walkthrough.XXXXXX)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
children=()
finish() {
    for pid in "${children[@]}"; do kill "$pid" 2>/dev/null || true; done
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w 2>/dev/null || true
    rm -rf "$work"
}
trap finish EXIT

"$wine" wineboot -i >/dev/null 2>&1
python3 - "$work/port.reg" <<'PY'
import sys
sys.path.insert(0, "tests/wine")
from setup_under_wine import PORT_KEYS
with open(sys.argv[1], "w", encoding="utf-16") as f:
    f.write(PORT_KEYS.replace("\n", "\r\n"))
PY
"$wine" regedit /S "$work/port.reg" >/dev/null 2>&1
"$wineserver" -k; "$wineserver" -w
"$wineserver" -p >/dev/null 2>&1

"$nmeafilt" simulate --mode gps --baud 115200 --pty "$work/receiver" >/dev/null 2>&1 &
children+=($!)
while [ ! -L "$work/receiver" ]; do sleep 0.1; done
"$nmeafilt" run --port "$work/receiver" --baud 115200 --pty "$work/gps0" >/dev/null 2>&1 &
children+=($!)
while [ ! -L "$work/gps0" ]; do sleep 0.1; done
ln -sfn "$work/gps0" "$WINEPREFIX/dosdevices/com3"
cp "$build/tests/wine/idle_driver.sys" "$work/nmeafilt.sys"

# Each program's output to a file first: Wine's helper processes keep a pipe open.
show() {
    local out="$work/out.txt" program=$1
    shift
    echo "> $(basename "$program" .exe) $*"
    local code=0
    (cd "$work" && "$wine" "$program" "$@" >"$out" 2>&1) || code=$?
    tr -d '\r' <"$out"
    echo "(exit code $code)"
    echo
}
setup="$PWD/$build/src/win/nmeafilt-setup.exe"
check="$PWD/$build/src/win/nmeafilt-check.exe"

show "$setup" status
show "$setup" install COM3 --sys nmeafilt.sys
show "$check" COM3 --seconds 5
show "$setup" install COM3 --sys nmeafilt.sys
show "$setup" status --json
show "$setup" install COM9 --sys nmeafilt.sys
show "$setup" remove COM3
show "$check" COM3 --seconds 3
