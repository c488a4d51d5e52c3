#!/usr/bin/env bash
# The Debian package as a user gets it: built with cpack, unpacked into a scratch root, the
# program's version and a replay of the installed sample run from there, the service unit
# checked by systemd, and the man page holding every option the program has.
# Usage: scripts/check_package.sh [BUILD_DIR]   (default build/, already built)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null 2>&1)
deb=$(ls "$work"/nmeafilt_*.deb)
echo "package: $(basename "$deb")"
dpkg -c "$deb" | awk '{print "  " $1, $6}'
root=$work/root
dpkg -x "$deb" "$root"
program=$root/usr/bin/nmeafilt

version=$(sed -n 's/^project(nmeafilt VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$("$program" --version)" = "nmeafilt $version" ] ||
    { echo "--version says '$("$program" --version)', not nmeafilt $version" >&2; exit 1; }
# The installed sample, found beside the installed program, replays as the source tree's does.
"$program" replay >"$work/installed.out" 2>/dev/null
"$build/src/host/nmeafilt/nmeafilt" replay samples/receiver-sample.nmea >"$work/tree.out" 2>/dev/null
cmp "$work/installed.out" "$work/tree.out"
echo "installed: $("$program" --version), replay of the installed sample as the tree's"

# The template unit for one device, as systemd reads it; only its program is the one unpacked
# here, since systemd checks that the program is there.
sed "s|/usr/bin/nmeafilt|$program|" "$root/usr/lib/systemd/system/nmeafilt@.service" \
    >"$work/nmeafilt@.service"
ln -s nmeafilt@.service "$work/nmeafilt@ttyUSB0.service"
systemd-analyze verify --man=no "$work/nmeafilt@ttyUSB0.service"
echo "systemd-analyze verify: nmeafilt@ttyUSB0.service is sound"

# Every option of every command is in the man page.
missing=0
for command in replay run simulate; do
    for option in $("$program" "$command" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
        grep -q -- "${option//-/\\\\-}" "$root/usr/share/man/man1/nmeafilt.1" ||
            { echo "man page lacks $command $option" >&2; missing=1; }
    done
done
[ $missing = 0 ] && echo "man page: every option of replay, run and simulate"
