#include "xmodem/crc32.h"

#include <array>

// Entry i is the register left after i has been shifted right eight times,
// with the reflected polynomial XORed in after every shift that pushed a 1
// out of the bottom bit.
static constexpr std::array<uint32_t, 256> make_crc32_table()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        table[i] = crc;
    }
    return table;
}

static constexpr std::array<uint32_t, 256> crc32_table = make_crc32_table();

uint32_t crc32_ieee(uint32_t crc, const unsigned char *data, size_t count)
{
    crc = ~crc;
    for (size_t i = 0; i < count; ++i)
        crc = (crc >> 8) ^ crc32_table[(crc ^ data[i]) & 0xFF];
    return ~crc;
}
