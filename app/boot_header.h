// The boot header at the start of an image that the 88F6281's boot ROM runs:
// 32 bytes that say where the image is meant to boot from, where its data
// lies and where it goes. Shared by the tool, which looks at an image before
// it sends it, and the board emulator, whose boot ROM looks at what arrives.
#ifndef DRAMLIFT_BOOT_HEADER_H
#define DRAMLIFT_BOOT_HEADER_H

#include <cstdint>

enum {
    BOOT_HEADER_SIZE = 32,
    BOOT_HEADER_CHECKSUM_AT = 31,
    // The block ID in byte 0: the boot source the image is built for. The
    // boot ROM takes an image over the serial line only with BOOT_FROM_UART.
    BOOT_FROM_UART = 0x69,
    BOOT_FROM_SPI = 0x5A,
    BOOT_FROM_NAND = 0x8B,
    BOOT_FROM_SATA = 0x78,
    BOOT_FROM_I2C = 0x4D,
    BOOT_FROM_PCIE = 0x9C,
};

struct BootHeader {
    int version;            // 0 for the 88F6281; 1 for the later SoCs' layout
    unsigned char block_id; // the boot source
    uint32_t data_size;     // the data with its 4-byte checksum
    uint32_t data_offset;   // in bytes (SATA: in 512-byte sectors)
    uint32_t load_address;
    uint32_t exec_address;
    bool extension; // register settings follow the main header
};

enum BootHeaderFound {
    BOOT_HEADER_NONE,      // no header at the image's start
    BOOT_HEADER_GOOD,      // one, and the image holds all its data
    BOOT_HEADER_CUT_SHORT, // one whose data runs past the image's end
};

// Reads the header at the start of the image. There is none with fewer than
// 32 bytes, a checksum that does not match, a block ID that names no boot
// source, or data that cannot be where the header puts it (within the header,
// or shorter than its own 4-byte checksum). A version 1 header with a good
// checksum is a later SoC's, whatever its block ID.
BootHeaderFound read_boot_header(const unsigned char *image, long length, BootHeader *header);

// Where the header's data ends, in bytes from the image's start.
unsigned long long boot_data_end(const BootHeader &header);

// The data's last 4 bytes are its checksum, which the boot ROM checks: the
// 32-bit sum of the data's little-endian words before them, a last short
// word filled with zeros. Returns that sum, for a header whose data the
// image holds.
uint32_t boot_data_checksum(const unsigned char *image, const BootHeader &header);

// Whether the data's last 4 bytes hold that sum.
bool boot_data_checksum_good(const unsigned char *image, const BootHeader &header);

// The header's words, the trailer's and the RAM loader's are little-endian.
uint32_t read_le32(const unsigned char *bytes);
void write_le32(unsigned char *bytes, uint32_t value);

// The 8-bit sum of the header's bytes 0 to 30, which byte 31 holds.
unsigned char boot_header_checksum(const unsigned char *image);

// The boot source in words ("NAND", "SPI flash", ...), nullptr for none.
const char *boot_source_name(unsigned char block_id);

#endif
