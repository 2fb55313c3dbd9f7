#include "app/loader_image.h"

#include "app/boot_header.h"
#include "ramloader/protocol.h"
#include "ramloader/ram_loader.h"

enum : uint32_t { XMODEM_BLOCK = 128, PAGE = 0x1000, LOWEST = 0x10000 };

// What the boot ROM's download of size bytes covers in DRAM from where the
// data goes: whole XMODEM blocks, one of filler alone after an exact
// multiple of the block size.
static uint32_t room_of(uint32_t size, uint32_t data_offset)
{
    return (size / XMODEM_BLOCK + 1) * XMODEM_BLOCK - data_offset;
}

bool make_loader_image(const unsigned char *image, int size, LoaderImage *loader)
{
    BootHeader header;
    read_boot_header(image, size, &header);
    const uint32_t offset = header.data_offset;
    const uint32_t code = (RAM_LOADER_SIZE + 3) / 4 * 4;
    const uint32_t loader_size = offset + code + 4;
    // The loader's span: its download, filler and all, and its stack.
    uint32_t span = room_of(loader_size, offset);
    uint32_t stack_top = (RAM_LOADER_SIZE + 7) / 8 * 8 + LOADER_STACK_SIZE;
    span = span > stack_top ? span : stack_top;
    const uint32_t image_first = header.load_address;
    const uint64_t image_end = image_first + uint64_t{room_of(static_cast<uint32_t>(size), offset)};

    uint64_t address;
    if (image_first >= LOWEST + LOADER_CLEARANCE + span)
        address = (image_first - LOADER_CLEARANCE - span) / PAGE * PAGE;
    else
        address = (image_end + LOADER_CLEARANCE + PAGE - 1) / PAGE * PAGE;
    if (address + span > UINT32_MAX)
        return false;

    loader->bytes.assign(image, image + offset);
    loader->bytes.insert(loader->bytes.end(), RAM_LOADER, RAM_LOADER + RAM_LOADER_SIZE);
    loader->bytes.resize(loader_size, 0);
    unsigned char *bytes = loader->bytes.data();
    write_le32(bytes + 4, code + 4);
    write_le32(bytes + 16, static_cast<uint32_t>(address));
    write_le32(bytes + 20, static_cast<uint32_t>(address));
    BootHeader made = header;
    made.data_size = code + 4;
    write_le32(bytes + loader_size - 4, boot_data_checksum(bytes, made));
    bytes[BOOT_HEADER_CHECKSUM_AT] = boot_header_checksum(bytes);

    loader->address = static_cast<uint32_t>(address);
    loader->destination = header.load_address;
    loader->exec_address = header.exec_address;
    loader->data_size = header.data_size;
    loader->payload_offset = static_cast<int>(offset);
    loader->payload_size = size - static_cast<int>(offset);
    return true;
}
