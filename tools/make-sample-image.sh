#!/bin/sh
# Writes a small sample boot image, a UART one as the board's boot ROM takes
# over the serial line: a 32-byte boot header (block ID 0x69, the data's
# size and offset, the load and run address 0x00600000, the header
# checksum), then 16 KiB of the ARM instruction "b ." (0xEAFFFFFE,
# little-endian), a bootloader that does nothing, forever, and the data's
# checksum, the 32-bit sum of its words.
set -eu
# 0x69, ECC 0, page size 0; data size 0x4004; reserved; data at 0x20; load
# and run at 0x00600000; 7 bytes of nothing; no extension; checksum 0x8D.
printf '\151\000\000\000\004\100\000\000\000\000\000\000\040\000\000\000' > "$1"
printf '\000\000\140\000\000\000\140\000\000\000\000\000\000\000\000\215' >> "$1"
printf '\376\377\377\352' > "$1.data"
for _ in 1 2 3 4 5 6 7 8 9 10 11 12; do
    cat "$1.data" "$1.data" > "$1.tmp"
    mv "$1.tmp" "$1.data"
done
cat "$1.data" >> "$1"
rm "$1.data"
# 4096 words of 0xEAFFFFFE sum to 0xFFFFE000.
printf '\000\340\377\377' >> "$1"
