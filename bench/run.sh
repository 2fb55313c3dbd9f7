#!/bin/sh
# Measures dramlift against the limit of a 115200-baud line and against
# lrzsz's sx, and what it costs the PC; prints a Markdown table.
# Usage: bench/run.sh [build-dir]   (default: build; needs lrzsz for row 2)
set -eu
build=${1:-build}
dramlift=$build/dramlift
board=$build/tools/dramlift-board
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/../tools/board-session.sh"

calc() { echo "$1" | bc -l; }
median_reaction() { sed -n 's/.*next packet: \([0-9]*\) us.*/\1/p' "$work/board.out"; }
# The board's own measure, the same for every sender: first packet to the end.
transfer_time() { sed -n 's/^Transfer: \([0-9.]*\) s.*/\1/p' "$work/board.out"; }

# The file, and the image dramlift makes of it (file and trailer).
head -c 262144 /dev/urandom > "$work/256k.bin"
cp "$work/256k.bin" "$work/256k-image.bin"
printf '\247\076\067\030\000\000\000\000' >> "$work/256k-image.bin"
blocks=$(((262144 + 8) / 128 + 1))
limit=$(calc "$blocks * 134 * 10 / 115200")

echo "| # | Measurement | Result | Target |"
echo "|---|---|---|---|"

# 1 and 2. A paced line, taken in turns by dramlift and by sx (after the
# wake-up), three times each: the median of each stands.
paced_dramlift() {
    start_board --paced
    "$dramlift" -p "$device" "$work/256k.bin" > /dev/null
    wait "$board_pid"
    transfer_time >> "$work/dramlift.times"
    median_reaction >> "$work/reactions"
}
paced_sx() {
    start_board --paced
    exec 3<> "$device" # held open throughout, or the board sees the line close
    printf '\273\021\042\063\104\125\146\167' >&3
    dd bs=1 count=1 status=none <&3 > /dev/null # the wake NAK
    sx -q "$work/256k-image.bin" <&3 >&3 2> /dev/null || true
    exec 3>&-
    wait "$board_pid" || true # sx pads with 0x1A only: the board finds no filler
    transfer_time >> "$work/sx.times"
}
median() { sort -n "$1" | sed -n '2p'; }
all_runs() { sort -n "$1" | tr '\n' ' ' | sed 's/ $//; s/ /, /g'; }
have_sx=$(command -v sx > /dev/null && echo yes || echo no)
for _ in 1 2 3; do
    paced_dramlift
    if [ "$have_sx" = yes ]; then paced_sx; fi
done
paced=$(median "$work/dramlift.times")
paced_reaction=$(median "$work/reactions")
printf '| 1 | 256 KiB on a paced 115200-baud line, median of 3 runs | %.3f s (runs: %s), %.4f x the XMODEM limit of %.3f s | within 1 %% |\n' \
    "$paced" "$(all_runs "$work/dramlift.times")" "$(calc "$paced / $limit")" "$limit"
if [ "$have_sx" = yes ]; then
    sx_time=$(median "$work/sx.times")
    printf '| 2 | the same image sent by sx, same line, median of 3 runs | %.3f s (runs: %s); dramlift / sx = %.4f | 1.00 or better |\n' \
        "$sx_time" "$(all_runs "$work/sx.times")" "$(calc "$paced / $sx_time")"
else
    echo "| 2 | the same image sent by sx | not measured: lrzsz missing | 1.00 or better |"
fi

# 3. An unpaced pty: as fast as the two ends go.
head -c 4194304 /dev/urandom > "$work/4m.bin"
start_board
/usr/bin/time -f '%e %U %S' -o "$work/time" "$dramlift" -p "$device" "$work/4m.bin" > /dev/null
wait "$board_pid"
read -r elapsed user system <<EOT
$(tail -n 1 "$work/time")
EOT
printf '| 3 | 4 MiB on an unpaced pty | %.0f KiB/s; %.3f s CPU per MiB | (figures) |\n' \
    "$(calc "4096 / $elapsed")" "$(calc "($user + $system) / 4")"
unpaced_reaction=$(median_reaction)

# 4. Waiting for a board that stays off.
start_board --off
/usr/bin/time -f '%U %S' -o "$work/time" timeout -s INT 10 "$dramlift" -p "$device" \
    "$work/256k.bin" > /dev/null || true
wait "$board_pid" || true
# time notes the interrupted exit on a line of its own, before the figures.
read -r user system <<EOT
$(tail -n 1 "$work/time")
EOT
patterns=$(sed -n 's/Heard \([0-9]*\) wake.*/\1/p' "$work/board.out")
printf '| 4 | 10 s waiting for the board | %.2f %% of a core; %s wake patterns | under 1 %%; about 200 |\n' \
    "$(calc "($user + $system) * 10")" "$patterns"

# 5. From the board's ACK to the first byte of the next packet.
echo "| 5 | median from an ACK to the next packet | ${paced_reaction} us paced, ${unpaced_reaction} us unpaced | (figure) |"
