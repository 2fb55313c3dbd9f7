#!/bin/sh
# The test guest's init, under busybox: loads the USB serial drivers, runs
# dramlift on each port while the host plays the boards, and reports each
# case on the console as "case <name>: ok" or "case <name>: FAIL <why>".
# The host's board on ttyS0 and ttyUSB0 answers 3 s after the tool starts;
# the one on ttyUSB2 stays off.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
echo "guest: up"

# wait_until <tenths> <command...>: every 0.1 s, until the command succeeds.
wait_until() {
    tenths=$1
    shift
    while ! "$@" && [ "$tenths" -gt 0 ]; do
        sleep 0.1
        tenths=$((tenths - 1))
    done
}
exists() { [ -e "$1" ]; }
gone() { [ ! -e "$1" ]; }

for module in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
    insmod "/modules/$module.ko" || echo "guest: could not load $module"
done
wait_until 200 exists /dev/ttyUSB2

# What the tool must have set while it waits for the board.
waiting_line="speed=115200 bits=8 parity=none stop=1 rtscts=off xon=off xoff=off raw=yes dtr=off rts=off low_latency=on"

uptime_s() { cut -d ' ' -f 1 /proc/uptime; }
seconds_since() { echo "$(uptime_s) $1" | awk '{printf "%.2f", $1 - $2}'; }

# report_failure <case> <status> <message> <expected message> <seconds> <limit>:
# the tool must fail with the message, within the limit.
report_failure() {
    if [ "$2" -ne 1 ] || [ "$3" != "$4" ]; then
        echo "case $1: FAIL status $2: $3"
    elif [ "$(echo "$5 $6" | awk '{print ($1 <= $2)}')" != 1 ]; then
        echo "case $1: FAIL took $5 s"
    else
        echo "case $1: ok ($3, after $5 s)"
    fi
}
latency_timer() { cat "/sys/bus/usb-serial/devices/$1/latency_timer" 2> /dev/null || echo none; }

# check_port <case> <device> [dramlift options...]: a download on the port,
# with the line as the tool sets it while waiting, and as it leaves it.
check_port() {
    name=$1 device=$2
    shift 2
    tty=${device#/dev/}
    before="$(port_probe "$device") latency_timer=$(latency_timer "$tty")"
    dramlift "$@" /boot.bin > "/tmp/$name.out" 2> "/tmp/$name.err" &
    pid=$!
    sleep 1
    during=$(port_probe "$device" "$pid")
    timer_during=$(latency_timer "$tty")
    wait "$pid"
    status=$?
    after="$(port_probe "$device") latency_timer=$(latency_timer "$tty")"
    if [ "$status" -ne 0 ]; then
        echo "case $name: FAIL status $status: $(cat "/tmp/$name.err")"
    elif ! grep -q "Successfully downloaded '/boot.bin'" "/tmp/$name.out"; then
        echo "case $name: FAIL no success message"
    elif [ "$during" != "$waiting_line" ]; then
        echo "case $name: FAIL while waiting: $during"
    elif [ "$timer_during" != none ] && [ "$timer_during" != 1 ]; then
        echo "case $name: FAIL latency timer while waiting: $timer_during ms"
    elif [ "$after" != "$before" ]; then
        echo "case $name: FAIL left as [$after], found as [$before]"
    else
        echo "case $name: ok ($during, latency timer $timer_during; put back as found: $after)"
    fi
}

check_port default-port /dev/ttyS0
check_port ftdi-port /dev/ttyUSB0 -p /dev/ttyUSB0

# Ctrl-C while the tool waits for a board that stays off: the adapter's low
# latency and latency timer go back as found. The tool runs in the
# foreground: a background job of a shell without job control ignores SIGINT.
before="$(port_probe /dev/ttyUSB2) latency_timer=$(latency_timer ttyUSB2)"
(
    sleep 1
    latency_timer ttyUSB2 > /tmp/interrupted.timer
    kill -INT "$(cat /tmp/interrupted.pid)"
) &
sh -c 'echo $$ > /tmp/interrupted.pid; exec dramlift -p /dev/ttyUSB2 /boot.bin' \
    > /tmp/interrupted.out 2>&1
status=$?
after="$(port_probe /dev/ttyUSB2) latency_timer=$(latency_timer ttyUSB2)"
if [ "$status" -ne 130 ]; then
    echo "case interrupted: FAIL status $status: $(cat /tmp/interrupted.out)"
elif [ "$(cat /tmp/interrupted.timer)" != 1 ]; then
    echo "case interrupted: FAIL latency timer while waiting: $(cat /tmp/interrupted.timer) ms"
elif [ "$after" != "$before" ]; then
    echo "case interrupted: FAIL left as [$after], found as [$before]"
else
    echo "case interrupted: ok (put back as found: $after)"
fi

# The adapter removed mid-transfer: the host takes it away when asked.
dramlift -p /dev/ttyUSB1 /big.bin > /tmp/removal.out 2> /tmp/removal.err &
pid=$!
wait_until 200 grep -q Downloading /tmp/removal.out
sleep 1
echo "guest: remove ftdi1"
wait_until 200 gone /sys/bus/usb-serial/devices/ttyUSB1
removed=$(uptime_s)
wait "$pid"
status=$?
if exists /sys/bus/usb-serial/devices/ttyUSB1; then
    echo "case removal: FAIL the adapter was not removed"
else
    report_failure removal "$status" "$(cat /tmp/removal.err)" \
        "Lost serial port /dev/ttyUSB1." "$(seconds_since "$removed")" 2.0
fi

# A ttyS with no UART behind it: the kernel refuses it, at once, and the
# listing names the ports there are, without the ttyS ports that have no UART.
started=$(uptime_s)
dramlift -p 4 /boot.bin > /dev/null 2> /tmp/no-uart.err
report_failure no-uart "$?" "$(cat /tmp/no-uart.err)" "Could not open serial port /dev/ttyS3.
  Input/output error.
  Serial ports here: /dev/ttyS0, /dev/ttyS1, \
/dev/ttyUSB0 (QEMU USB SERIAL, serial 1-0000:00:02.0-1), \
/dev/ttyUSB2 (QEMU USB SERIAL, serial 1-0000:00:02.0-3)." "$(seconds_since "$started")" 0.5

echo "guest: done"
poweroff -f
