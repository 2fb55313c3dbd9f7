// The boot image: the user's file, byte for byte, followed by BootTrailer.
#ifndef DRAMLIFT_BOOT_IMAGE_H
#define DRAMLIFT_BOOT_IMAGE_H

#include <climits>
#include <cstdint>
#include <cstdio>

// The bootloader finds its instructions in the 8 bytes after the file:
// the magic, then the flags, both little-endian.
struct BootTrailer {
    uint32_t magic;
    uint32_t flags;
};

constexpr uint32_t BOOT_TRAILER_MAGIC = 0x18373EA7;
constexpr uint32_t BOOT_FLAG_ERASE_FLASH = 1u << 0;
constexpr int BOOT_TRAILER_SIZE = 8;

// The largest file whose image, trailer and XMODEM filler block included,
// can still be counted in an int.
constexpr long BOOT_IMAGE_MAX_LENGTH = INT_MAX - BOOT_TRAILER_SIZE - 128;

enum ImageOutcome {
    IMAGE_LOADED,
    IMAGE_OPEN_FAILED,  // the file cannot be opened
    IMAGE_NO_MEMORY,    // the block cannot be reserved
    IMAGE_READ_SHORT,   // the read delivered a count other than the length
    IMAGE_NOT_LOADABLE, // not a regular file, or too large to send
};

// What loading acquired; the caller releases it with release_boot_image,
// whatever the outcome.
struct BootImage {
    FILE *file;
    unsigned char *block; // length + BOOT_TRAILER_SIZE bytes
    int length;           // of the file alone
};

// Loads the file whole into a block with room for the trailer. Prints the
// message of any failure itself.
ImageOutcome load_boot_image(const char *path, BootImage *image);

enum HeaderVerdict {
    HEADER_SEND,         // a UART image, or a file without a header (noted)
    HEADER_SEND_AS_UART, // a NAND or SPI flash image that -u sends as a UART one
    HEADER_REFUSED,      // said why
};

// Looks at the boot header at the start of the file before anything is
// sent: a UART image goes as it is; one built for another boot source or
// for a later SoC, or whose data runs past the file's end, is refused with
// the reason; as_uart lets a NAND or SPI flash image go as a UART image,
// said in a line; a file without a header, or whose data's checksum does
// not match, gets a note and goes as it is, *rom_only then set: only the
// boot ROM's own download can judge it.
HeaderVerdict check_boot_header(const char *path, const unsigned char *block, int length,
                                bool as_uart, bool *rom_only);

// Makes the image's header a UART one: its block ID, and its checksum.
void make_uart_image(unsigned char *block);

// Writes BootTrailer into the 8 bytes after the file's length.
void append_boot_trailer(unsigned char *block, int length, bool erase);

void release_boot_image(BootImage *image);

#endif
