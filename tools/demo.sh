#!/bin/sh
# One download from dramlift to the board emulator over a pseudo-terminal:
# what a user sees with a real board, without one.
# Usage: demo.sh <dramlift> <dramlift-board> <image>
set -eu
dramlift=$1 board=$2 image=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/board-session.sh"
start_board --paced

echo "The board emulator listens on $device. Running: dramlift -e -p $device $image"
echo
status=0
"$dramlift" -e -p "$device" "$image" || status=$?
wait "$board_pid" || true
echo
echo "The board emulator says:"
tail -n +2 "$work/board.out"
exit "$status"
