#!/bin/bash
# Runs dramlift, and lrzsz's sx as the reference, against the board emulator
# with each kind of line fault over many seeds, and prints what happened as a
# Markdown table. Rows run four at a time (FAULT_MATRIX_JOBS): most of a run
# is spent waiting out time-outs.
# Usage: tools/fault-matrix.sh [build-dir]   (default: build; sx rows need lrzsz)
set -eu
build=${1:-build}
dramlift=$build/dramlift
board=$build/tools/dramlift-board
parallel=${FAULT_MATRIX_JOBS:-4}
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
. "$(dirname "$0")/board-session.sh"

# make_image <bytes>: the file to send, and what the board should end up with.
make_image() {
    head -c "$1" /dev/urandom > "$work/boot.bin"
    add_boot_trailer "$work/boot.bin" "$work/expected.bin"
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
        wake_on_line
        timeout 600 sx -q -t 10 "$work/expected.bin" <&3 >&3 2> "$work/tool.err" || status=$?
        exec 3>&-
    fi
}

# run_case <label> <seeds> <file bytes> <board options...>: a row for each
# sender, in a folder of its own.
run_case() {
    label=$1 seeds=$2
    work=$(mktemp -d)
    make_image "$3"
    shift 3
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
    rm -rf "$work"
}

# queue_case <arguments of run_case>: runs it in the background, at most
# $parallel at a time; the rows are printed in the order queued.
rows=0
queue_case() {
    rows=$((rows + 1))
    while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n; done
    run_case "$@" > "$results/$(printf %03d "$rows")" &
}

senders=dramlift
command -v sx > /dev/null && senders="dramlift sx"
echo "| Faults (board emulator options) | Sender | Runs | Faults injected | NAKs sent | Success, image intact | Failed (codes) | Success, image not intact | Median time |"
echo "|---|---|---|---|---|---|---|---|---|"
# 16384 bytes make 129 blocks with the trailer; 3000 bytes make 24, and
# more runs go wrong near the end.
queue_case "none" 20 16384
queue_case "10 % corrupted, CRC-16" 20 16384 --corrupt 0.1
queue_case "30 % corrupted, CRC-16" 20 16384 --corrupt 0.3
queue_case "30 % corrupted, checksum" 20 16384 --corrupt 0.3 --checksum
queue_case "2 % answers lost" 20 16384 --lose 0.02
queue_case "10 % stray bytes" 20 16384 --noise 0.1
queue_case "10 % stray bytes, 2 % answers lost" 20 16384 --noise 0.1 --lose 0.02
queue_case "10 % corrupted, 2 % answers lost" 20 16384 --corrupt 0.1 --lose 0.02
queue_case "10 % corrupted, 10 % stray bytes" 20 16384 --corrupt 0.1 --noise 0.1
queue_case "2 % corrupted, 2 % stray bytes" 20 16384 --corrupt 0.02 --noise 0.02
queue_case "20 % corrupted, 20 % stray bytes" 20 16384 --corrupt 0.2 --noise 0.2
queue_case "5 % answers late" 20 16384 --late 0.05
queue_case "5 % answers late, 10 % corrupted" 20 16384 --late 0.05 --corrupt 0.1
queue_case "5 % answers late, 10 % corrupted, 10 % stray bytes" 20 16384 --late 0.05 --corrupt 0.1 --noise 0.1
queue_case "paced line: 10 % corrupted, 10 % stray bytes" 20 16384 --paced --corrupt 0.1 --noise 0.1
queue_case "paced line: 5 % answers late, 10 % corrupted, 10 % stray bytes" 20 16384 --paced --late 0.05 --corrupt 0.1 --noise 0.1
queue_case "20 % corrupted, 20 % stray bytes, 3000-byte file" 60 3000 --corrupt 0.2 --noise 0.2
queue_case "5 % answers late, 20 % corrupted, 20 % stray bytes, 3000-byte file" 60 3000 --late 0.05 --corrupt 0.2 --noise 0.2
wait
cat "$results"/*
