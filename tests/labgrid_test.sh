#!/bin/sh
# dramlift as a labgrid driver, end to end: Debian's ser2net serves the board
# emulator's pseudo-terminal by RFC 2217 exactly as labgrid's exporter serves
# a farm's ports (a NetworkSerialPort), an ExternalPowerDriver switches the
# emulator on (it listens for a moment only, so a load without the power
# cycle fails) when dramlift's reset command asks the driver to, the
# strategy boots it, the emulator hands the line to Debian's real U-Boot,
# and labgrid's UBootDriver reaches its prompt and runs a command. Then the
# driver on local ports: a load, and its failures.
# Usage: labgrid_test.sh <source dir> <dramlift> <dramlift-board>
# Exits 77 (skipped) where labgrid, ser2net or U-Boot is missing.
set -eu
source=$1 dramlift=$2 board=$3
skip() {
    echo "skipped: $*"
    exit 77
}
uboot=/usr/lib/u-boot/qemu-x86_64/u-boot.rom
python=
for candidate in /usr/bin/python3 python3; do
    if "$candidate" -c 'import labgrid, pytest' 2> /dev/null; then
        python=$candidate
        break
    fi
done
[ -n "$python" ] || skip "labgrid or pytest missing (Debian: python3-labgrid)"
command -v ser2net > /dev/null || skip "ser2net missing"
command -v qemu-system-x86_64 > /dev/null && [ -r "$uboot" ] || skip "u-boot-qemu or qemu-system-x86 missing"

work=$(mktemp -d)
pids=""
cleanup() {
    # The emulator's U-Boot first: it would outlive the emulator.
    for pid in $pids; do pkill -P "$pid" 2> /dev/null || true; done
    for pid in $pids; do kill "$pid" 2> /dev/null || true; done
    wait 2> /dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
board_out=$work/board.out
sh "$source/tools/make-sample-image.sh" "$work/boot.bin"

"$board" --power-file "$work/power" --window 300 --then-command -- \
    qemu-system-x86_64 -bios "$uboot" -nic none -display none -monitor none -serial stdio \
    -m 256 > "$board_out" &
pids="$pids $!"
while [ ! -s "$board_out" ]; do sleep 0.05; done
device=$(head -n 1 "$board_out")
# A board does not notice a client leaving the port server: the emulator's
# line stays held while ser2net closes it between its clients.
exec 3<> "$device"

port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# The exporter's settings: an RFC 2217 server, the port held without a lock
# file, ser2net's own chardelay, up to ten connections.
cat > "$work/ser2net.yaml" << YAML
connection: &board
  accepter: telnet(rfc2217,mode=server),tcp,127.0.0.1,$port
  connector: serialdev(nouucplock=true),$device,115200n81,local
  options:
    max-connections: 10
YAML
ser2net -n -c "$work/ser2net.yaml" &
pids="$pids $!"

cat > "$work/env.yaml" << YAML
targets:
  main:
    resources:
      NetworkSerialPort:
        host: 127.0.0.1
        port: $port
    drivers:
      ExternalPowerDriver:
        cmd_on: touch $work/power
        cmd_off: rm -f $work/power
        delay: 0.1
      SerialDriver: {}
      DramliftDriver:
        image: loader
        wait: 10
      UBootDriver:
        prompt: "\n=> "
        autoboot: 'Hit any key to stop autoboot'
        boot_expression: ''
      DramliftStrategy: {}
tools:
  dramlift: $dramlift
images:
  loader: $work/boot.bin
imports:
  - $source/contrib/labgrid/dramliftdriver.py
  - $source/contrib/labgrid/dramliftstrategy.py
YAML

status=0
DRAMLIFT_BOARD=$board DRAMLIFT_SAMPLE_IMAGE=$source/tools/make-sample-image.sh \
    PYTHONDONTWRITEBYTECODE=1 "$python" -m pytest -p no:cacheprovider -q --lg-env "$work/env.yaml" \
    "$source/tests/labgrid/test_boot.py" || status=$?
echo "The board emulator says:"
cat "$board_out"
exit "$status"
