#include "app/boot_header.h"

enum { SATA_SECTOR = 512, VERSION_AT = 8 };

uint32_t read_le32(const unsigned char *bytes)
{
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void write_le32(unsigned char *bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

unsigned char boot_header_checksum(const unsigned char *image)
{
    unsigned char sum = 0;
    for (int i = 0; i < BOOT_HEADER_CHECKSUM_AT; ++i)
        sum = static_cast<unsigned char>(sum + image[i]);
    return sum;
}

const char *boot_source_name(unsigned char block_id)
{
    static const struct {
        unsigned char id;
        const char *name;
    } sources[] = {{BOOT_FROM_UART, "UART"}, {BOOT_FROM_SPI, "SPI flash"},
                   {BOOT_FROM_NAND, "NAND"}, {BOOT_FROM_SATA, "SATA"},
                   {BOOT_FROM_I2C, "I2C"},   {BOOT_FROM_PCIE, "PCI Express"}};
    for (const auto &source : sources) {
        if (source.id == block_id)
            return source.name;
    }
    return nullptr;
}

// The later SoCs' header (version 1) is longer than 32 bytes where optional
// headers follow, its length in bytes 9 to 11, and its checksum sums all of
// it but byte 31.
static int version_1_checksum_good(const unsigned char *image, long length)
{
    long size = static_cast<long>(image[9]) << 16 | image[11] << 8 | image[10];
    if (size < BOOT_HEADER_SIZE || size > length)
        return 0;
    unsigned char sum = 0;
    for (long i = 0; i < size; ++i)
        sum = static_cast<unsigned char>(sum + (i == BOOT_HEADER_CHECKSUM_AT ? 0 : image[i]));
    return sum == image[BOOT_HEADER_CHECKSUM_AT];
}

unsigned long long boot_data_end(const BootHeader &header)
{
    unsigned long long offset = header.data_offset;
    if (header.block_id == BOOT_FROM_SATA)
        offset *= SATA_SECTOR;
    return offset + header.data_size;
}

uint32_t boot_data_checksum(const unsigned char *image, const BootHeader &header)
{
    const unsigned char *data = image + boot_data_end(header) - header.data_size;
    uint32_t words = header.data_size - 4, sum = 0, i = 0;
    for (; i + 4 <= words; i += 4)
        sum += read_le32(data + i);
    for (uint32_t shift = 0; i < words; ++i, shift += 8)
        sum += static_cast<uint32_t>(data[i]) << shift;
    return sum;
}

bool boot_data_checksum_good(const unsigned char *image, const BootHeader &header)
{
    return boot_data_checksum(image, header) == read_le32(image + boot_data_end(header) - 4);
}

BootHeaderFound read_boot_header(const unsigned char *image, long length, BootHeader *header)
{
    if (length < BOOT_HEADER_SIZE)
        return BOOT_HEADER_NONE;
    header->version = image[VERSION_AT] == 1 ? 1 : 0;
    if (header->version == 1 ? !version_1_checksum_good(image, length)
                             : boot_source_name(image[0]) == nullptr ||
                                   boot_header_checksum(image) != image[BOOT_HEADER_CHECKSUM_AT])
        return BOOT_HEADER_NONE;
    header->block_id = image[0];
    header->data_size = read_le32(image + 4);
    header->data_offset = read_le32(image + 12);
    header->load_address = read_le32(image + 16);
    header->exec_address = read_le32(image + 20);
    header->extension = image[30] != 0;
    if (header->version == 1)
        return BOOT_HEADER_GOOD;
    unsigned long long end = boot_data_end(*header);
    if (end - header->data_size < BOOT_HEADER_SIZE || header->data_size < 4)
        return BOOT_HEADER_NONE;
    return end <= static_cast<unsigned long long>(length) ? BOOT_HEADER_GOOD
                                                          : BOOT_HEADER_CUT_SHORT;
}
