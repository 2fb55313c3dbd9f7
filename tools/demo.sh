#!/bin/sh
# A whole session from dramlift to the board emulator over a pseudo-terminal,
# as a user sees it with a real board: the boot download, then, in the
# terminal, the firmware sent to the loader by YMODEM at 921600 baud.
# Usage: demo.sh <dramlift> <dramlift-board> <image>
set -eu
dramlift=$1 board=$2 image=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/board-session.sh"
head -c 65536 /dev/urandom > "$work/firmware.bin"
start_board --paced

echo "The board emulator listens on $device. Running: dramlift -e -t -x 2 -p $device $image"
echo "with the keys: loady 0x800000 921600, Enter, Ctrl-\\ y, $work/firmware.bin, Enter"
echo
status=0
printf 'loady 0x800000 921600\r\034y%s\n' "$work/firmware.bin" |
    "$dramlift" -e -t -x 2 -p "$device" "$image" || status=$?
wait "$board_pid" || true
echo
echo "The board emulator says:"
tail -n +2 "$work/board.out"
exit "$status"
