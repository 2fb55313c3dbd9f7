#!/bin/sh
# Runs dramlift against the board emulator with each kind of line fault over
# several seeds, and prints what happened as a Markdown table.
# Usage: tools/fault-matrix.sh [build-dir]   (default: build)
set -eu
build=${1:-build}
dramlift=$build/dramlift
board=$build/tools/dramlift-board
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/board-session.sh"

# make_image <bytes>: the file to send, and what the board should end up with.
make_image() {
    head -c "$1" /dev/urandom > "$work/boot.bin"
    cp "$work/boot.bin" "$work/expected.bin"
    printf '\247\076\067\030\000\000\000\000' >> "$work/expected.bin"
}

# The number before a label in the board's summary.
count() {
    sed -n "s/.* \([0-9][0-9]*\) $1.*/\1/p" "$work/board.out" | head -n 1
}

# run_case <label> <seeds> <board options...>
run_case() {
    label=$1 seeds=$2
    shift 2
    intact=0 failed=0 false_success=0 naks=0 faults=0 codes=""
    seed=1
    while [ "$seed" -le "$seeds" ]; do
        rm -f "$work/got.bin"
        start_board -o "$work/got.bin" --seed "$seed" "$@"
        status=0
        "$dramlift" -p "$device" "$work/boot.bin" > /dev/null 2> "$work/tool.err" || status=$?
        wait "$board_pid" || true
        naks=$((naks + $(sed -n 's/.*answered \([0-9]*\) packets with NAK.*/\1/p' "$work/board.out" | head -n 1 | grep . || echo 0)))
        faults=$((faults + $(count 'packets corrupted') + $(count 'answers lost') + $(count 'stray bytes sent')))
        if [ "$status" -ne 0 ]; then
            failed=$((failed + 1))
            codes="$codes $(sed -n 's/.*failed: \(-[0-9]\).*/\1/p' "$work/tool.err")"
        elif cmp -s "$work/got.bin" "$work/expected.bin"; then
            intact=$((intact + 1))
        else
            false_success=$((false_success + 1))
        fi
        seed=$((seed + 1))
    done
    codes=$(echo "$codes" | tr ' ' '\n' | grep . | sort | uniq -c | awk '{printf "%s%s x%s", sep, $2, $1; sep=", "}')
    echo "| $label | $seeds | $faults | $naks | $intact | $failed${codes:+ ($codes)} | $false_success |"
}

echo "| Faults (board emulator options) | Runs | Faults injected | NAKs sent | Success, image intact | Failed (codes) | Success, image not intact |"
echo "|---|---|---|---|---|---|---|"
make_image 16384 # 129 blocks with its trailer
run_case "none" 5
run_case "10 % corrupted, CRC-16" 20 --corrupt 0.1
run_case "30 % corrupted, CRC-16" 20 --corrupt 0.3
run_case "30 % corrupted, checksum" 20 --corrupt 0.3 --checksum
run_case "2 % answers lost" 10 --lose 0.02
run_case "10 % stray bytes" 20 --noise 0.1
run_case "10 % stray bytes, 2 % answers lost" 10 --noise 0.1 --lose 0.02
run_case "10 % corrupted, 2 % answers lost" 10 --corrupt 0.1 --lose 0.02
run_case "10 % corrupted, 10 % stray bytes" 20 --corrupt 0.1 --noise 0.1
run_case "2 % corrupted, 2 % stray bytes" 20 --corrupt 0.02 --noise 0.02
run_case "20 % corrupted, 20 % stray bytes" 60 --corrupt 0.2 --noise 0.2
make_image 3000 # 24 blocks: more runs go wrong near the end
run_case "20 % corrupted, 20 % stray bytes, 3000-byte file" 60 --corrupt 0.2 --noise 0.2
