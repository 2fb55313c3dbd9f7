#!/bin/sh
# The tool on the real Linux serial drivers. Boots the machine's Debian
# kernel with a busybox initramfs in QEMU; the guest's ttyS0 (a 16550 on the
# 8250 driver) and three USB serial adapters (FTDI, on ftdi_sio) are joined to
# host pseudo-terminals where dramlift-board answers, and the guest runs the
# cases of tests/guest/init.sh with a static dramlift. The guest's console
# is on its ttyS1.
# Usage: real_ports_test.sh <static dramlift> <port_probe> <dramlift-board>
# Exits 77 (skipped) where QEMU, a kernel, its modules or busybox is missing.
set -eu
tool=$1 probe=$2 board=$3
here=$(cd "$(dirname "$0")" && pwd)
skip() {
    echo "skipped: $*"
    exit 77
}
started_at=$(date +%s)

command -v qemu-system-x86_64 > /dev/null || skip "qemu-system-x86 missing"
command -v cpio > /dev/null || skip "cpio missing"
kernel=$(ls /boot/vmlinuz-* 2> /dev/null | sort -V | tail -n 1)
[ -n "$kernel" ] || skip "no kernel in /boot (Debian: linux-image-amd64)"
usb=/lib/modules/${kernel#/boot/vmlinuz-}/kernel/drivers/usb
modules="common/usb-common core/usbcore host/xhci-hcd host/xhci-pci serial/usbserial serial/ftdi_sio"
for module in $modules; do
    [ -f "$usb/$module.ko" ] || skip "no $module.ko for $kernel"
done
busybox=$(command -v busybox || true)
[ -n "$busybox" ] && ! ldd "$busybox" > /dev/null 2>&1 || skip "no static busybox (Debian: busybox-static)"

work=$(mktemp -d)
pids=""
cleanup() {
    for pid in $pids; do kill "$pid" 2> /dev/null || true; done
    wait 2> /dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The initramfs: busybox, the tool, the probe, the drivers, two images.
root=$work/root
mkdir -p "$root/bin" "$root/proc" "$root/sys" "$root/dev" "$root/tmp" "$root/modules"
cp "$busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
cp "$tool" "$root/bin/dramlift"
cp "$probe" "$root/bin/port_probe"
cp "$here/guest/init.sh" "$root/init"
chmod 755 "$root/init"
for module in $modules; do cp "$usb/$module.ko" "$root/modules/"; done
# UART boot images: a boot header (block ID 0x69, the data's size, the data at
# 0x20, the header checksum), then random data and its checksum, the 32-bit
# sum of its little-endian words.
uart_image() { # <file> <header as printf octal escapes> <bytes of data, checksum included>
    printf "$2" > "$1"
    head -c $(($3 - 4)) /dev/urandom > "$1.data"
    sum=$(od -An -tu4 -v "$1.data" |
        awk '{ for (i = 1; i <= NF; i++) s = (s + $i) % 4294967296 } END { printf "%.0f", s }')
    cat "$1.data" >> "$1"
    rm "$1.data"
    printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $((sum & 255)) $((sum >> 8 & 255)) \
        $((sum >> 16 & 255)) $((sum >> 24 & 255)))" >> "$1"
}
zeros='\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000'
uart_image "$root/boot.bin" "\151\000\000\000\200\017\000\000\000\000\000\000\040\000\000\000$zeros\030" 3968
uart_image "$root/big.bin" "\151\000\000\000\340\377\000\000\000\000\000\000\040\000\000\000$zeros\150" 65504
(cd "$root" && find . | cpio -o -H newc --quiet) | gzip > "$work/initrd.gz"

. "$here/../tools/board-session.sh"
# start_named_board <name> <options...>: a board in the background whose
# summary goes on into $work/<name>.out (renamed, still open); sets $device.
start_named_board() {
    name=$1
    shift
    start_board "$@"
    mv "$work/board.out" "$work/$name.out"
    pids="$pids $board_pid"
}
start_named_board serial --wake-after 3000 -o "$work/serial.bin"
serial=$device
start_named_board ftdi0 --wake-after 3000 -o "$work/ftdi0.bin"
ftdi0=$device
start_named_board ftdi1 --paced
ftdi1=$device
start_named_board ftdi2 --off
ftdi2=$device

mkfifo "$work/monitor.in" "$work/monitor.out"
# boot <accelerator> <seconds>: starts the guest; fails if it is not up in time.
boot() {
    rm -f "$work/console.log"
    qemu-system-x86_64 -accel "$1" -nodefaults -display none -no-reboot -m 256 \
        -kernel "$kernel" -initrd "$work/initrd.gz" -append "console=ttyS1 loglevel=3 panic=-1" \
        -chardev "serial,id=board,path=$serial" -serial chardev:board \
        -serial "file:$work/console.log" \
        -device qemu-xhci,id=xhci \
        -chardev "serial,id=ftdi0,path=$ftdi0" -device usb-serial,bus=xhci.0,chardev=ftdi0,id=ftdi0 \
        -chardev "serial,id=ftdi1,path=$ftdi1" -device usb-serial,bus=xhci.0,chardev=ftdi1,id=ftdi1 \
        -chardev "serial,id=ftdi2,path=$ftdi2" -device usb-serial,bus=xhci.0,chardev=ftdi2,id=ftdi2 \
        -chardev "pipe,id=monitor,path=$work/monitor" -mon chardev=monitor,mode=readline &
    qemu=$!
    waited=0
    while ! grep -q "guest: up" "$work/console.log" 2> /dev/null; do
        if [ "$waited" -ge "$(($2 * 10))" ] || ! kill -0 "$qemu" 2> /dev/null; then
            kill "$qemu" 2> /dev/null || true
            wait "$qemu" 2> /dev/null || true
            return 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
    pids="$pids $qemu"
}
# KVM where it boots; on some machines /dev/kvm is there but a stock kernel
# does not boot under it.
if [ -w /dev/kvm ] && boot kvm 10; then
    echo "guest booted under KVM"
elif boot tcg 90; then
    echo "guest booted under TCG"
else
    echo "the guest did not boot:"
    cat "$work/console.log" 2> /dev/null || true
    exit 1
fi

# The guest asks for the second adapter to be removed mid-transfer.
removed=no
waited=0
while ! grep -q "guest: done" "$work/console.log" && [ "$waited" -lt 1200 ]; do
    if [ "$removed" = no ] && grep -q "guest: remove ftdi1" "$work/console.log"; then
        echo "device_del ftdi1" > "$work/monitor.in"
        removed=yes
    fi
    sleep 0.1
    waited=$((waited + 1))
done
wait "$qemu" || true

echo "--- the guest's console:"
tr -d '\r' < "$work/console.log"
echo "---"
failed=0
for name in default-port ftdi-port interrupted removal no-uart; do
    grep -q "^case $name: ok" "$work/console.log" || { echo "FAILED: $name"; failed=1; }
done
add_boot_trailer "$root/boot.bin" "$work/expected.bin"
for name in serial ftdi0; do
    if cmp -s "$work/$name.bin" "$work/expected.bin"; then
        echo "the $name board holds exactly the file and its trailer"
    else
        echo "FAILED: the $name board holds something else:"
        cat "$work/$name.out"
        failed=1
    fi
done
echo "whole run: $(($(date +%s) - started_at)) s"
exit "$failed"
