#!/bin/sh
# Runs dramlift, and lrzsz's sx as the reference, against the board emulator
# with each kind of line fault over many seeds, and prints what happened as a
# Markdown table.
# Usage: tools/fault-matrix.sh [build-dir]   (default: build; sx rows need lrzsz)
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
    sed -n "s/.* \([0-9][0-9]*\) $1.*/\1/p" "$work/board.out" | head -n 1 | grep . || echo 0
}

# What the board holds is the image: exactly for dramlift; for sx, which
# pads the last block with 0x1A only, the image followed by 0x1A bytes.
board_holds_image() {
    size=$(wc -c < "$work/expected.bin")
    [ -f "$work/got.bin" ] && cmp -s -n "$size" "$work/got.bin" "$work/expected.bin" || return 1
    if [ "$1" = dramlift ]; then
        [ "$(wc -c < "$work/got.bin")" -eq "$size" ]
    else
        [ -z "$(tail -c "+$((size + 1))" "$work/got.bin" | tr -d '\032')" ]
    fi
}

# send <sender>: one download by dramlift, or by sx after a wake-up done for
# it; sets $status.
send() {
    status=0
    if [ "$1" = dramlift ]; then
        timeout 600 "$dramlift" -p "$device" "$work/boot.bin" > /dev/null 2> "$work/tool.err" || status=$?
    else
        exec 3<> "$device"
        printf '\273\021\042\063\104\125\146\167' >&3
        dd bs=1 count=1 status=none <&3 > /dev/null # the wake NAK
        timeout 600 sx -q -t 10 "$work/expected.bin" <&3 >&3 2> "$work/tool.err" || status=$?
        exec 3>&-
    fi
}

# run_case <label> <seeds> <board options...>: a row for each sender.
run_case() {
    label=$1 seeds=$2
    shift 2
    for sender in $senders; do
        intact=0 failed=0 false_success=0 naks=0 faults=0 codes=""
        : > "$work/times"
        seed=1
        while [ "$seed" -le "$seeds" ]; do
            rm -f "$work/got.bin"
            start_board -o "$work/got.bin" --seed "$seed" "$@"
            started=$(date +%s.%N)
            send "$sender"
            echo "$(date +%s.%N) - $started" | bc >> "$work/times"
            wait "$board_pid" || true
            naks=$((naks + $(count 'packets with NAK')))
            faults=$((faults + $(count 'packets corrupted') + $(count 'answers lost') + $(count 'answers late') + $(count 'stray bytes sent')))
            if [ "$status" -ne 0 ]; then
                failed=$((failed + 1))
                code=$(sed -n 's/.*failed: \(-[0-9]\).*/\1/p' "$work/tool.err")
                codes="$codes ${code:-status-$status}"
            elif board_holds_image "$sender"; then
                intact=$((intact + 1))
            else
                false_success=$((false_success + 1))
            fi
            seed=$((seed + 1))
        done
        codes=$(echo "$codes" | tr ' ' '\n' | grep . | sort | uniq -c | awk '{printf "%s%s x%s", sep, $2, $1; sep=", "}')
        median=$(sort -n "$work/times" | awk '{v[NR] = $1} END {printf "%.2f", v[int((NR + 1) / 2)]}')
        echo "| $label | $sender | $seeds | $faults | $naks | $intact | $failed${codes:+ ($codes)} | $false_success | $median s |"
    done
}

senders=dramlift
command -v sx > /dev/null && senders="dramlift sx"
echo "| Faults (board emulator options) | Sender | Runs | Faults injected | NAKs sent | Success, image intact | Failed (codes) | Success, image not intact | Median time |"
echo "|---|---|---|---|---|---|---|---|---|"
make_image 16384 # 129 blocks with its trailer
run_case "none" 20
run_case "10 % corrupted, CRC-16" 20 --corrupt 0.1
run_case "30 % corrupted, CRC-16" 20 --corrupt 0.3
run_case "30 % corrupted, checksum" 20 --corrupt 0.3 --checksum
run_case "2 % answers lost" 20 --lose 0.02
run_case "10 % stray bytes" 20 --noise 0.1
run_case "10 % stray bytes, 2 % answers lost" 20 --noise 0.1 --lose 0.02
run_case "10 % corrupted, 2 % answers lost" 20 --corrupt 0.1 --lose 0.02
run_case "10 % corrupted, 10 % stray bytes" 20 --corrupt 0.1 --noise 0.1
run_case "2 % corrupted, 2 % stray bytes" 20 --corrupt 0.02 --noise 0.02
run_case "20 % corrupted, 20 % stray bytes" 20 --corrupt 0.2 --noise 0.2
run_case "5 % answers late" 20 --late 0.05
run_case "5 % answers late, 10 % corrupted" 20 --late 0.05 --corrupt 0.1
run_case "5 % answers late, 10 % corrupted, 10 % stray bytes" 20 --late 0.05 --corrupt 0.1 --noise 0.1
run_case "paced line: 10 % corrupted, 10 % stray bytes" 20 --paced --corrupt 0.1 --noise 0.1
run_case "paced line: 5 % answers late, 10 % corrupted, 10 % stray bytes" 20 --paced --late 0.05 --corrupt 0.1 --noise 0.1
make_image 3000 # 24 blocks: more runs go wrong near the end
run_case "20 % corrupted, 20 % stray bytes, 3000-byte file" 60 --corrupt 0.2 --noise 0.2
run_case "5 % answers late, 20 % corrupted, 20 % stray bytes, 3000-byte file" 60 --late 0.05 --corrupt 0.2 --noise 0.2
