# Shell functions for the scripts that run dramlift against the board
# emulator; sourced. They need $board (the emulator) and $work (a scratch
# folder).

# start_board <options...>: starts the emulator in the background, its
# summary going to $work/board.out; sets $board_pid and $device.
start_board() {
    rm -f "$work/board.out"
    "$board" "$@" > "$work/board.out" &
    board_pid=$!
    while [ ! -s "$work/board.out" ]; do sleep 0.05; done
    device=$(head -n 1 "$work/board.out")
}

# add_boot_trailer <file> <image>: the image dramlift makes of the file, as
# the board should end up holding it (no erase requested).
add_boot_trailer() {
    cp "$1" "$2"
    printf '\247\076\067\030\000\000\000\000' >> "$2"
}

# wake_on_line: opens $device as descriptor 3 and wakes the board there as
# dramlift would, for a sender that does not (sx); the line stays open, or
# the board would see it close. Close it with: exec 3>&-
wake_on_line() {
    exec 3<> "$device"
    printf '\273\021\042\063\104\125\146\167' >&3
    dd bs=1 count=1 status=none <&3 > /dev/null # the wake NAK
}
