#!/bin/sh
# Measures dramlift against the limit of a 115200-baud line and against
# lrzsz's sx, and what it costs the PC; prints a Markdown table.
# Usage: bench/run.sh [build-dir]   (default: build)
# Needs lrzsz, bc, GNU time and strace; Wine for row 9, ser2net for row 10.
# Rows 11 to 13 compare a YMODEM upload from the terminal with lrzsz's sb;
# row 14 a download whose standard output nobody reads with one read; rows
# 15 and 16 the unattended boot and the firmware upload at 921600 baud; row
# 17 a port served as labgrid's exporter serves a farm's; rows 18 and 19
# the boot through the RAM loader (-b), which needs the emulator's core.
set -eu
build=${1:-build}
dramlift=$build/dramlift
board=$build/tools/dramlift-board
windows_exe=$build/windows/dramlift.exe
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/../tools/board-session.sh"

calc() { echo "$1" | bc -l; }
median_reaction() { sed -n 's/.*next packet: \([0-9]*\) us.*/\1/p' "$work/board.out"; }
# The mean and the slowest 1 % of the same, as "mean tail".
reaction_spread() { sed -n 's/^Mean \([0-9]*\) us; the slowest 1 % above \([0-9]*\) us.*/\1 \2/p' "$work/board.out"; }
# The board's own measure, the same for every sender: first packet to the end.
transfer_time() { sed -n 's/^Transfer: \([0-9.]*\) s.*/\1/p' "$work/board.out"; }
median() { sort -n "$1" | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
all_runs() { sort -n "$1" | tr '\n' ' ' | sed 's/ $//; s/ /, /g'; }
# timed <file> <command...>: appends "elapsed user system" of the command to file.
timed() {
    out=$1
    shift
    /usr/bin/time -f '%e %U %S' -o "$work/time" "$@"
    tail -n 1 "$work/time" >> "$out"
}

# make_image <name> <bytes>: the file, and the image dramlift makes of it.
make_image() {
    head -c "$2" /dev/urandom > "$work/$1.bin"
    add_boot_trailer "$work/$1.bin" "$work/$1-image.bin"
}
make_image 256k 262144
make_image 1m 1048576
command -v sx > /dev/null || { echo "bench: lrzsz's sx and rx are needed" >&2; exit 1; }

# sx after the wake-up, which the shell does for it.
sx_after_wake() {
    wake_on_line
    timed "$1" sx -q "$2" <&3 >&3 2> /dev/null || true
    exec 3>&-
}

echo "| # | Measurement | Result | Target |"
echo "|---|---|---|---|"

# 1 and 2. A paced line, taken in turns by dramlift and by sx, three times
# each: the median of each stands.
blocks=$(((262144 + 8) / 128 + 1))
limit=$(calc "$blocks * 134 * 10 / 115200")
for _ in 1 2 3; do
    start_board --paced
    "$dramlift" -p "$device" "$work/256k.bin" > /dev/null
    wait "$board_pid"
    transfer_time >> "$work/paced-dramlift"
    median_reaction >> "$work/reactions"
    reaction_spread >> "$work/spread-dramlift"
    start_board --paced
    sx_after_wake "$work/sx-time" "$work/256k-image.bin"
    wait "$board_pid" || true # sx pads with 0x1A only: the board finds no filler
    transfer_time >> "$work/paced-sx"
    reaction_spread >> "$work/spread-sx"
done
paced=$(median "$work/paced-dramlift")
paced_sx=$(median "$work/paced-sx")
printf '| 1 | 256 KiB on a paced 115200-baud line, median of 3 runs | %.3f s (runs: %s), %.4f x the XMODEM limit of %.3f s | within 2 %% |\n' \
    "$paced" "$(all_runs "$work/paced-dramlift")" "$(calc "$paced / $limit")" "$limit"
printf '| 2 | the same image sent by sx, same line, in turns with row 1 | %.3f s (runs: %s); dramlift / sx = %.4f | 1.01 or better |\n' \
    "$paced_sx" "$(all_runs "$work/paced-sx")" "$(calc "$paced / $paced_sx")"

# 3 and 4. An unpaced pty, 1 MiB to lrzsz's rx behind the emulator, five
# times each in turns: as fast as the sender, the pty and rx go.
for _ in 1 2 3 4 5; do
    start_board -- sh -c "cd '$work' && exec rx -q -c rx.bin"
    timed "$work/rx-dramlift" "$dramlift" -p "$device" "$work/1m.bin" > /dev/null
    wait "$board_pid"
    cmp -s -n 1048584 "$work/rx.bin" "$work/1m-image.bin" || { echo "bench: rx got something else" >&2; exit 1; }
    rm "$work/rx.bin"
    start_board -- sh -c "cd '$work' && exec rx -q -c rx.bin"
    sx_after_wake "$work/rx-sx" "$work/1m-image.bin"
    wait "$board_pid"
    rm "$work/rx.bin"
done
cut -d ' ' -f 1 "$work/rx-dramlift" > "$work/rx-dramlift-elapsed"
cut -d ' ' -f 1 "$work/rx-sx" > "$work/rx-sx-elapsed"
awk '{print $2 + $3}' "$work/rx-dramlift" > "$work/rx-dramlift-cpu"
awk '{print $2 + $3}' "$work/rx-sx" > "$work/rx-sx-cpu"
unpaced=$(median "$work/rx-dramlift-elapsed")
unpaced_sx=$(median "$work/rx-sx-elapsed")
printf '| 3 | 1 MiB on an unpaced pty to rx, dramlift and sx in turns, median of 5 each | dramlift %.2f s (runs: %s), sx %.2f s (runs: %s); dramlift / sx = %.3f | 1.00 or better |\n' \
    "$unpaced" "$(all_runs "$work/rx-dramlift-elapsed")" "$unpaced_sx" "$(all_runs "$work/rx-sx-elapsed")" \
    "$(calc "$unpaced / $unpaced_sx")"
printf '| 4 | CPU time per MiB in the runs of row 3, median | dramlift %.3f s (runs: %s), sx %.3f s | (figures) |\n' \
    "$(median "$work/rx-dramlift-cpu")" "$(all_runs "$work/rx-dramlift-cpu")" "$(median "$work/rx-sx-cpu")"

# 5. The same on the unpaced emulator alone, without rx and the relay to it;
# nine runs, for CPU figures vary more than times on a virtual machine.
for _ in 1 2 3 4 5 6 7 8 9; do
    start_board
    timed "$work/emulator" "$dramlift" -p "$device" "$work/1m.bin" > /dev/null
    wait "$board_pid"
done
awk '{print $2 + $3}' "$work/emulator" > "$work/emulator-cpu"
cut -d ' ' -f 1 "$work/emulator" > "$work/emulator-elapsed"
printf '| 5 | 1 MiB on an unpaced pty to the emulator, median of 9 | %.2f s; CPU %.3f s (runs: %s) | CPU at most 0.15 s |\n' \
    "$(median "$work/emulator-elapsed")" "$(median "$work/emulator-cpu")" "$(all_runs "$work/emulator-cpu")"

# 6. System calls per block, 1 MiB to the emulator, unpaced; and the
# progress's writes to standard output in the same run.
start_board
strace -c -o "$work/strace" "$dramlift" -p "$device" "$work/1m.bin" > /dev/null
wait "$board_pid"
blocks=$(((1048576 + 8) / 128 + 1))
per_call=$(awk -v blocks="$blocks" '$NF ~ /^[a-z_0-9]+$/ && $4 + 0 >= blocks / 2 {printf "%s%s %.2f", sep, $NF, $4 / blocks; sep = ", "}' "$work/strace")
total=$(awk '$NF == "total" {print $4}' "$work/strace")
start_board
strace -e trace=write -o "$work/writes" "$dramlift" -p "$device" "$work/1m.bin" > /dev/null
wait "$board_pid"
console_writes=$(grep -c '^write(1,' "$work/writes")
printf '| 6 | system calls per block (strace -c, 1 MiB to the emulator) | %.2f (%s); %s writes of the progress for %s blocks | at most 5; one write per percentage |\n' \
    "$(calc "$total / $blocks")" "$per_call" "$console_writes" "$blocks"

# 7. Waiting for a board that stays off.
start_board --off
/usr/bin/time -f '%U %S' -o "$work/time" timeout -s INT 10 "$dramlift" -p "$device" \
    "$work/256k.bin" > /dev/null || true
wait "$board_pid" || true
# time notes the interrupted exit on a line of its own, before the figures.
read -r user system <<EOT
$(tail -n 1 "$work/time")
EOT
patterns=$(sed -n 's/Heard \([0-9]*\) wake.*/\1/p' "$work/board.out")
printf '| 7 | 10 s waiting for the board | %.2f %% of a core; %s wake patterns | under 1 %%; about 200 |\n' \
    "$(calc "($user + $system) * 10")" "$patterns"

# 8. From the board's ACK to the first byte of the next packet.
spread() { awk '{mean += $1; tail += $2} END {printf "mean %d us, slowest 1 %% above %d us", mean / NR, tail / NR}' "$1"; }
echo "| 8 | from the board's ACK to the next packet, paced runs of rows 1 and 2 | dramlift: median $(median "$work/reactions") us, $(spread "$work/spread-dramlift"); sx: $(spread "$work/spread-sx") | (figures) |"

# 9. The Windows executable under Wine: calls to WriteFile per block, to the
# port and to the console, from the difference between a 10- and a 30-block
# image in Wine's relay trace of the tool's thread.
if command -v wine > /dev/null && [ -f "$windows_exe" ]; then
    export WINEPREFIX="$work/wine" WINEDEBUG=-all
    (wineboot -i && wineserver -w) > /dev/null 2>&1
    rm -f "$WINEPREFIX"/dosdevices/com* # no real port, ever
    wine_calls() {
        head -c "$1" /dev/urandom > "$work/wine.bin"
        start_board
        ln -sf "$device" "$WINEPREFIX/dosdevices/com5"
        WINEDEBUG=+relay wine "$windows_exe" -p 5 "Z:$work/wine.bin" > "$work/wine.out" 2> "$work/relay"
        wait "$board_pid"
        thread=$(grep -a -m 1 'Call KERNEL32.SetCommState' "$work/relay" | cut -d : -f 1)
        port=$(grep -a -m 1 "^$thread:Ret  KERNEL32.CreateFileA" "$work/relay" | sed 's/.*retval=\([0-9a-f]*\).*/\1/')
        grep -a "^$thread:Call KERNEL32.WriteFile" "$work/relay" > "$work/writes"
        echo "$(grep -c "WriteFile($port," "$work/writes") $(grep -vc "WriteFile($port," "$work/writes")"
    }
    read -r port10 console10 <<EOT
$(wine_calls 1272)
EOT
    read -r port30 console30 <<EOT
$(wine_calls 3832)
EOT
    wineserver -k
    printf '| 9 | WriteFile calls per block under Wine: to the port, to the console | %.2f, %.2f | one each |\n' \
        "$(calc "($port30 - $port10) / 20")" "$(calc "($console30 - $console10) / 20")"
else
    echo "| 9 | WriteFile calls per block under Wine | not measured: Wine or the Windows build missing | one each |"
fi

# through_ser2net: row 1's download through ser2net on $port, set up by
# $work/ser2net.yaml, to the board started last; prints the emulator's time.
through_ser2net() {
    ser2net -n -c "$work/ser2net.yaml" 2> /dev/null &
    server_pid=$!
    sleep 1
    "$dramlift" -p "rfc2217://127.0.0.1:$port" "$work/256k.bin" > /dev/null
    kill "$server_pid"
    wait "$server_pid" || true
    wait "$board_pid"
    transfer_time
}

# 10. The same paced line behind ser2net, by RFC 2217 over loopback, in turns
# with the pty itself, three times each. ser2net holds back what the board
# sends for a few characters' time unless chardelay is off.
if command -v ser2net > /dev/null; then
    port=17321
    for _ in 1 2 3; do
        start_board --paced
        "$dramlift" -p "$device" "$work/256k.bin" > /dev/null
        wait "$board_pid"
        transfer_time >> "$work/direct"
        start_board --paced
        printf 'connection: &board\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%s\n  connector: serialdev,%s,9600n81,local\n  options:\n    chardelay: false\n' \
            "$port" "$device" > "$work/ser2net.yaml"
        through_ser2net >> "$work/network"
    done
    direct=$(median "$work/direct")
    network=$(median "$work/network")
    printf '| 10 | row 1 by rfc2217:// through ser2net on loopback, in turns with the pty itself, median of 3 each | %.3f s (runs: %s) against %.3f s (runs: %s): %.4f | at most 1.03 |\n' \
        "$network" "$(all_runs "$work/network")" "$direct" "$(all_runs "$work/direct")" "$(calc "$network / $direct")"
else
    echo "| 10 | row 1 by rfc2217:// through ser2net | not measured: ser2net missing | at most 1.03 |"
fi

# 11 to 13. A 1 MiB file from the terminal by YMODEM (Ctrl-\ then y) to
# lrzsz's rb behind the emulator, in turns with lrzsz's sb sending the same
# file to rb with its 1024-byte blocks (-k; it sends 128-byte ones without):
# unpaced three times each, then once each on a line paced at 115200 baud.
# The emulator's relay measures both alike, from the sender's first byte to
# its last.
relay_time() { sed -n 's/^Relayed [0-9]* bytes from the tool in \([0-9.]*\) s.*/\1/p' "$work/board.out"; }
head -c 300 /dev/urandom > "$work/tiny.bin"
mkdir "$work/rb"
ymodem_turn() { # <name> <emulator options...>
    name=$1
    shift
    start_board "$@" --then-command -- sh -c "cd '$work/rb' && exec rb -q"
    printf '\034y%s\n' "$work/1m.bin" | "$dramlift" -q -t -x 1 -p "$device" "$work/tiny.bin" > /dev/null 2>&1
    wait "$board_pid"
    cmp -s "$work/1m.bin" "$work/rb/1m.bin" || { echo "bench: rb got something else" >&2; exit 1; }
    relay_time >> "$work/ymodem-dramlift-$name"
    rm "$work/rb/1m.bin"
    start_board "$@" -- sh -c "cd '$work/rb' && exec rb -q"
    wake_on_line
    sb -k -q "$work/1m.bin" <&3 >&3 2> /dev/null || true
    exec 3>&-
    wait "$board_pid"
    cmp -s "$work/1m.bin" "$work/rb/1m.bin" || { echo "bench: rb got something else from sb" >&2; exit 1; }
    relay_time >> "$work/ymodem-sb-$name"
    rm "$work/rb/1m.bin"
}
for _ in 1 2 3 4 5; do ymodem_turn unpaced; done
ymodem_turn paced --paced
tool=$(median "$work/ymodem-dramlift-unpaced")
sb=$(median "$work/ymodem-sb-unpaced")
printf '| 11 | 1 MiB by YMODEM from the terminal to rb, unpaced pty, in turns with sb, median of 5 each | dramlift %.3f s (runs: %s), sb %.3f s (runs: %s); dramlift / sb = %.3f | at most 1.00 |\n' \
    "$tool" "$(all_runs "$work/ymodem-dramlift-unpaced")" "$sb" "$(all_runs "$work/ymodem-sb-unpaced")" "$(calc "$tool / $sb")"
# The wire's limit: 1024 blocks of 1029 bytes and two block 0s of 133, two
# EOTs, and a byte back for each.
limit=$(calc "(1024 * 1030 + 2 * 134 + 2 * 2) * 10 / 115200")
tool=$(cat "$work/ymodem-dramlift-paced")
sb=$(cat "$work/ymodem-sb-paced")
printf '| 12 | the same on a line paced at 115200 baud, one run each | dramlift %.3f s, %.4f x the limit of %.3f s | within 3 %% |\n' \
    "$tool" "$(calc "$tool / $limit")" "$limit"
printf '| 13 | sb on the paced line of row 12 | %.3f s; dramlift / sb = %.4f | at most 1.00 |\n' \
    "$sb" "$(calc "$tool / $sb")"

# 14. A console that nobody reads: 2 MiB to the emulator on an unpaced pty,
# standard output a pipe whose reader never reads, all but 500 bytes of it
# full before the tool starts, in turns with standard output read, three
# times each; the emulator's own time, first packet to the end. The unread
# run's final message waits for a reader: once the emulator has its image,
# a stop ends the tool.
make_image 2m 2097152
for _ in 1 2 3; do
    start_board
    "$dramlift" -p "$device" "$work/2m.bin" > /dev/null 2>&1
    wait "$board_pid"
    transfer_time >> "$work/console-read"
    start_board
    sh -c 'head -c 65036 /dev/zero; echo $$ > "$0"; exec "$@" 2> /dev/null' "$work/tool.pid" \
        "$dramlift" -p "$device" "$work/2m.bin" | sleep 600 &
    reader=$!
    until grep -q '^Transfer' "$work/board.out"; do sleep 0.1; done
    kill "$(cat "$work/tool.pid")" || true # ended by itself: the console took it all
    wait "$board_pid" || true
    kill "$reader"
    wait "$reader" 2> /dev/null || true
    time=$(transfer_time)
    echo "${time:-incomplete}" >> "$work/console-unread"
done
printf '| 14 | 2 MiB to the emulator, unpaced, standard output unread against read, in turns, median of 3 each, in s | unread %s (runs: %s), read %s (runs: %s) | about the same |\n' \
    "$(median "$work/console-unread")" "$(all_runs "$work/console-unread")" \
    "$(median "$work/console-read")" "$(all_runs "$work/console-read")"

# 15. The whole unattended boot on the paced line: the reset command powers
# the emulator on (it hears the wake pattern only for 200 ms after), the
# wake, the 256 KiB download; in turns with the download to a board that is
# on already, three times each. The tool's own time, start to end.
for _ in 1 2 3; do
    start_board --paced
    timed "$work/attended" "$dramlift" -q -p "$device" "$work/256k.bin" > /dev/null 2>&1
    wait "$board_pid"
    rm -f "$work/power"
    start_board --paced --power-file "$work/power"
    timed "$work/unattended" "$dramlift" -q -r "touch '$work/power'" -p "$device" "$work/256k.bin" > /dev/null 2>&1
    wait "$board_pid"
done
cut -d ' ' -f 1 "$work/attended" > "$work/attended-elapsed"
cut -d ' ' -f 1 "$work/unattended" > "$work/unattended-elapsed"
attended=$(median "$work/attended-elapsed")
unattended=$(median "$work/unattended-elapsed")
printf '| 15 | 256 KiB on the paced line, the board powered on by -r, against a board on already, in turns, median of 3 each | %.3f s (runs: %s) against %.3f s (runs: %s): %.3f s more | (figures) |\n' \
    "$unattended" "$(all_runs "$work/unattended-elapsed")" "$attended" "$(all_runs "$work/attended-elapsed")" \
    "$(calc "$unattended - $attended")"

# 16. The recovery's second half as a farm runs it: "loady 0x800000 921600",
# then 8 MiB by YMODEM from the terminal to the emulator's own loader, which
# answers at the pace of the speed the tool set; the emulator's time from
# the first packet to the end, against the wire's limit at 921600 baud.
head -c 8388608 /dev/urandom > "$work/8m.bin"
start_board --paced
printf 'loady 0x800000 921600\r\034y%s\n' "$work/8m.bin" |
    "$dramlift" -q -t -x 2 -p "$device" "$work/tiny.bin" > /dev/null 2>&1
wait "$board_pid"
grep -q "^Loaded 8388608 bytes by YMODEM ('8m.bin'), .* at 921600 baud" "$work/board.out" ||
    { echo "bench: the loader got something else" >&2; exit 1; }
recovery=$(transfer_time | tail -n 1)
# 8192 blocks of 1029 bytes, two block 0s of 133, an EOT, each with a byte
# back, and a 'C' before each block 0.
limit=$(calc "(8192 * 1030 + 2 * 134 + 2 + 2) * 10 / 921600")
printf '| 16 | 8 MiB by YMODEM after loady ... 921600, the loader paced at that speed | %.3f s, %.4f x the limit of %.3f s | within 3 %% |\n' \
    "$recovery" "$(calc "$recovery / $limit")" "$limit"

# 17. A farm's port server: row 10's paced line behind ser2net set up as
# labgrid's exporter sets it up (an RFC 2217 server, no lock file, ten
# connections, ser2net's default chardelay), in turns with chardelay off,
# three times each.
if command -v ser2net > /dev/null; then
    port=17322
    serve_farm_port() { # <extra options line>
        printf 'connection: &board\n  accepter: telnet(rfc2217,mode=server),tcp,127.0.0.1,%s\n  connector: serialdev(nouucplock=true),%s,115200n81,local\n  options:\n    max-connections: 10\n%b' \
            "$port" "$device" "$1" > "$work/ser2net.yaml"
        through_ser2net
    }
    for _ in 1 2 3; do
        start_board --paced
        serve_farm_port '' >> "$work/farm-default"
        start_board --paced
        serve_farm_port '    chardelay: false\n' >> "$work/farm-tuned"
    done
    farm=$(median "$work/farm-default")
    tuned=$(median "$work/farm-tuned")
    printf "| 17 | row 1 through ser2net as labgrid's exporter sets it up, in turns with chardelay off, median of 3 each | %.3f s (runs: %s) against %.3f s (runs: %s): %.4f | (figures) |\n" \
        "$farm" "$(all_runs "$work/farm-default")" "$tuned" "$(all_runs "$work/farm-tuned")" "$(calc "$farm / $tuned")"
else
    echo "| 17 | row 1 through ser2net as labgrid's exporter sets it up | not measured: ser2net missing | (figures) |"
fi

# 18 and 19. The boot through the RAM loader: a 512 KiB UART image on the
# emulator paced at its UART's rate, the boot ROM's way against -b 1250000
# with the emulator's turnaround 0 and 4 ms (a USB adapter's), one run each;
# the tool's time from start to end. Then the fast phase of the 4 ms run
# against its wire: the bytes that came while the UART was away from the
# ROM's divisor, and how long that was, as the emulator tells.
sh "$(dirname "$0")/../tools/make-sample-image.sh" "$work/512k-uart.bin" 512
cp "$work/512k-uart.bin" "$work/512k-uart-image.bin"
printf '\247\076\067\030\000\000\000\000' >> "$work/512k-uart-image.bin"
fast_boot() { # <turnaround ms, or rom> <file for the time>
    if [ "$1" = rom ]; then
        start_board --paced
        timed "$2" "$dramlift" -q -p "$device" "$work/512k-uart.bin" > /dev/null
    else
        start_board --paced --turnaround "$1" --expect "$work/512k-uart-image.bin"
        timed "$2" "$dramlift" -q -b 1250000 -p "$device" "$work/512k-uart.bin" > /dev/null
    fi
    wait "$board_pid"
}
fast_boot rom "$work/boot-rom"
fast_boot 0 "$work/boot-fast-0"
fast_boot 4 "$work/boot-fast-4"
away=$(sed -n 's/^Away from the ROM.s divisor: \([0-9]*\) bytes from the tool in \([0-9.]*\) s.*/\1 \2/p' "$work/board.out")
read -r away_bytes away_s <<EOT
$away
EOT
printf '| 18 | a 512 KiB UART image on the emulator paced at its UART'"'"'s rate, the ROM'"'"'s way against -b 1250000 with turnaround 0 and 4 ms | %.2f s against %.2f s and %.2f s | under 6 s against about 47 s |\n' \
    "$(cut -d ' ' -f 1 "$work/boot-rom")" "$(cut -d ' ' -f 1 "$work/boot-fast-0")" "$(cut -d ' ' -f 1 "$work/boot-fast-4")"
printf '| 19 | the fast phase of row 18 at 4 ms, against its wire at 1250000 baud | %s bytes in %.3f s, %.4f x the limit of %.3f s | within 5 %% |\n' \
    "$away_bytes" "$away_s" "$(calc "$away_s / ($away_bytes * 10 / 1250000)")" "$(calc "$away_bytes * 10 / 1250000")"
