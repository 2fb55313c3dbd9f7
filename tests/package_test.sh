#!/bin/sh
# Builds the Debian package, unpacks it into a scratch root, and uses what it
# installed: the usage, both manual pages, the labgrid driver, and a download
# to the emulator.
# Usage: package_test.sh <build-dir>
set -eu
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "package test: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB > /dev/null)
deb=$(ls "$build"/dramlift_*.deb)
dpkg -x "$deb" "$root"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
echo "$depends" | tr ',' '\n' | sed 's/ *(.*//; s/^ *//' | while read -r package; do
    case $package in
        libc6 | libstdc++6 | libgcc-s1) ;; # libgcc-s1 comes with libstdc++6 anyway
        libunicorn2) ;;                    # the emulator's core, where the build had it
        *) fail "unexpected dependency $package" ;;
    esac
done

status=0
"$root/usr/bin/dramlift" -h 2> "$root/usage" || status=$?
[ "$status" -eq 1 ] || fail "-h exited with $status"
head -n 1 "$root/usage" | grep -qx 'Usage: dramlift \[-b <baud>\] \[-e\] \[-h\] \[-n <tries>\] \[-p <port>\] \[-q\] \[-r <command>\]' ||
    fail "no usage text"
for module in dramliftdriver dramliftstrategy; do
    [ -f "$root/usr/share/dramlift/labgrid/$module.py" ] || fail "no labgrid $module.py"
done

for page in dramlift dramlift-board; do
    man -l "$root/usr/share/man/man1/$page.1.gz" > "$root/man.out" 2> "$root/man.err" ||
        fail "no manual page $page.1"
    [ ! -s "$root/man.err" ] || fail "man complains of $page.1: $(cat "$root/man.err")"
    grep -q "$page" "$root/man.out" || fail "$page.1 is not about $page"
done

printf 'installed boot image' > "$root/boot.bin"
work=$root board=$root/usr/bin/dramlift-board
. "$(dirname "$0")/../tools/board-session.sh"
start_board -o "$root/received.bin"
"$root/usr/bin/dramlift" -p "$device" "$root/boot.bin" > "$root/tool.out" ||
    fail "the download failed"
wait "$board_pid" || fail "the board got no valid image: $(cat "$root/board.out")"
grep -q "Successfully downloaded '$root/boot.bin'." "$root/tool.out" || fail "no success message"
printf 'installed boot image\247\076\067\030\000\000\000\000' | cmp -s - "$root/received.bin" ||
    fail "the board received something else"
echo "package test: $deb installs and works"
