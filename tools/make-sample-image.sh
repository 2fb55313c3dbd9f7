#!/bin/sh
# Writes a sample boot image, a UART one as the board's boot ROM takes over
# the serial line: a 32-byte boot header (block ID 0x69, the data's size and
# offset, the load and run address 0x00600000, the header checksum), then
# KiB (16 unless given) of the ARM instruction "b ." (0xEAFFFFFE,
# little-endian), a bootloader that does nothing, forever, and the data's
# checksum, the 32-bit sum of its words.
# Usage: make-sample-image.sh <file> [KiB]
set -eu
kib=${2:-16}
words=$((kib * 256))
le32() { # the value's 4 bytes, little-endian, as printf escapes
    printf '\\%03o\\%03o\\%03o\\%03o' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) \
        $(($1 >> 24 & 255))
}
size=$((words * 4 + 4))
# 0x69, ECC 0, page size 0; the data's size; reserved; data at 0x20; load and
# run at 0x00600000; 7 bytes of nothing; no extension; the header checksum,
# the sum of the bytes before it.
sum=$(((0x69 + (size & 255) + (size >> 8 & 255) + (size >> 16 & 255) + (size >> 24 & 255) +
    0x20 + 0x60 + 0x60) & 255))
# shellcheck disable=SC2059 # the escapes are the format
printf "\\151\\000\\000\\000$(le32 $size)\\000\\000\\000\\000\\040\\000\\000\\000" > "$1"
# shellcheck disable=SC2059
printf "\\000\\000\\140\\000\\000\\000\\140\\000\\000\\000\\000\\000\\000\\000\\000$(printf '\\%03o' $sum)" >> "$1"
printf '\376\377\377\352' > "$1.data"
while [ "$(wc -c < "$1.data")" -lt $((words * 4)) ]; do
    cat "$1.data" "$1.data" > "$1.tmp"
    mv "$1.tmp" "$1.data"
done
head -c $((words * 4)) "$1.data" >> "$1"
rm "$1.data"
# shellcheck disable=SC2059
printf "$(le32 $((words * 0xEAFFFFFE)))" >> "$1"
