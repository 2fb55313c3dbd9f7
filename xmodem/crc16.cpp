#include "xmodem/crc16.h"

#include <array>

// Entry i is the register left after i, placed in the high byte, has been
// shifted left eight times, with the polynomial XORed in after every shift
// that pushed a 1 out of the top bit.
static constexpr std::array<uint16_t, 256> make_crc16_table()
{
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
        table[i] = static_cast<uint16_t>(crc);
    }
    return table;
}

static constexpr std::array<uint16_t, 256> crc16_table = make_crc16_table();

uint16_t crc16_xmodem(const unsigned char *data, int count)
{
    uint16_t crc = 0;
    for (int i = 0; i < count; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ crc16_table[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}
