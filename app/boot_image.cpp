#include "app/boot_image.h"

#include "app/boot_header.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

// Anything but a regular file is turned away before it is opened: a FIFO
// would block the open, and a directory or a device has no length to seek to.
static int exists_but_not_regular(const char *path)
{
    struct stat status;
    return stat(path, &status) == 0 && !S_ISREG(status.st_mode);
}

ImageOutcome load_boot_image(const char *path, BootImage *image)
{
    image->file = nullptr;
    image->block = nullptr;
    image->length = 0;

    if (exists_but_not_regular(path)) {
        fprintf(stderr, "Could not load file '%s': not a regular file.\n", path);
        return IMAGE_NOT_LOADABLE;
    }
    image->file = fopen(path, "rb");
    if (image->file == nullptr) {
        fprintf(stderr, "Could not open file '%s'.\n  %s.\n", path, strerror(errno));
        return IMAGE_OPEN_FAILED;
    }

    fseek(image->file, 0, SEEK_END);
    long length = ftell(image->file);
    fseek(image->file, 0, SEEK_SET);
    if (length < 0 || length > BOOT_IMAGE_MAX_LENGTH) {
        fprintf(stderr, "Could not load file '%s': too large for a boot image.\n", path);
        return IMAGE_NOT_LOADABLE;
    }
    image->length = static_cast<int>(length);

    image->block = static_cast<unsigned char *>(malloc(image->length + BOOT_TRAILER_SIZE));
    if (image->block == nullptr) {
        fprintf(stderr, "Could not malloc %d bytes mem.\n", image->length);
        return IMAGE_NO_MEMORY;
    }
    if (fread(image->block, 1, image->length, image->file) != static_cast<size_t>(image->length)) {
        fprintf(stderr, "Could not read %d bytes of file data.\n", image->length);
        return IMAGE_READ_SHORT;
    }
    return IMAGE_LOADED;
}

HeaderVerdict check_boot_header(const char *path, const unsigned char *block, int length,
                                bool as_uart, bool *rom_only)
{
    BootHeader header;
    BootHeaderFound found = read_boot_header(block, length, &header);
    *rom_only = true;
    if (found == BOOT_HEADER_NONE) {
        fprintf(stderr,
                "Note: '%s' has no boot image header; the board's boot ROM may not run it.\n",
                path);
        return HEADER_SEND;
    }
    if (header.version != 0) {
        fprintf(stderr,
                "Could not use file '%s': it is a boot image for a later SoC (header version %d).\n"
                "  The 88F6281's boot ROM cannot run it: build the image for this board.\n",
                path, header.version);
        return HEADER_REFUSED;
    }
    if (found == BOOT_HEADER_CUT_SHORT) {
        fprintf(stderr,
                "Could not use file '%s': it is cut short.\n"
                "  Its boot header says that its data ends at byte %llu; the file holds %d "
                "bytes.\n",
                path, boot_data_end(header), length);
        return HEADER_REFUSED;
    }
    *rom_only = !boot_data_checksum_good(block, header);
    if (*rom_only)
        fprintf(stderr,
                "Note: the checksum at the end of the data of '%s' does not match the data; the "
                "board's boot ROM will refuse it.\n",
                path);
    if (header.block_id == BOOT_FROM_UART)
        return HEADER_SEND;
    const char *source = boot_source_name(header.block_id);
    const char *article = header.block_id == BOOT_FROM_I2C ? "an" : "a";
    if (!as_uart) {
        fprintf(stderr,
                "Could not use file '%s': it is %s %s boot image.\n"
                "  The board boots only UART images this way: build one for UART, or send this "
                "one with -u.\n",
                path, article, source);
        return HEADER_REFUSED;
    }
    // NAND and SPI flash images hold their data where a UART image does,
    // at a byte offset; a SATA image counts disk sectors.
    if (header.block_id != BOOT_FROM_NAND && header.block_id != BOOT_FROM_SPI) {
        fprintf(stderr, "Could not use file '%s': it is %s %s boot image.\n  %s\n", path, article,
                source,
                header.block_id == BOOT_FROM_SATA
                    ? "-u cannot send it as a UART image: its data's offset counts disk "
                      "sectors, not bytes."
                    : "-u sends only NAND and SPI flash images as UART images.");
        return HEADER_REFUSED;
    }
    fprintf(stderr,
            "Sending '%s' as a UART boot image: block ID 0x%02X (%s) made 0x%02X, the header "
            "checksum made good, all else unchanged.\n",
            path, header.block_id, source, BOOT_FROM_UART);
    return HEADER_SEND_AS_UART;
}

void make_uart_image(unsigned char *block)
{
    block[0] = BOOT_FROM_UART;
    block[BOOT_HEADER_CHECKSUM_AT] = boot_header_checksum(block);
}

void append_boot_trailer(unsigned char *block, int length, bool erase)
{
    BootTrailer trailer = {BOOT_TRAILER_MAGIC, erase ? BOOT_FLAG_ERASE_FLASH : 0};
    write_le32(block + length, trailer.magic);
    write_le32(block + length + 4, trailer.flags);
}

void release_boot_image(BootImage *image)
{
    free(image->block);
    if (image->file != nullptr)
        fclose(image->file);
    image->block = nullptr;
    image->file = nullptr;
}
