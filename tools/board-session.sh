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
