#include "tests/xmodem_reference.h"

#include <algorithm>

unsigned bitwise_crc16(const unsigned char *data, size_t count)
{
    unsigned crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc ^= static_cast<unsigned>(data[i]) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) & 0xFFFF : (crc << 1) & 0xFFFF;
    }
    return crc;
}

std::vector<unsigned char> data_field(const unsigned char *image, size_t size, size_t offset)
{
    std::vector<unsigned char> field(128, 0x00);
    size_t count = std::min<size_t>(128, size - offset);
    std::copy(image + offset, image + offset + count, field.begin());
    if (count < 128)
        field[count] = 0x1A;
    return field;
}

std::vector<unsigned char> packet(const std::vector<unsigned char> &field, unsigned number,
                                  bool crc)
{
    std::vector<unsigned char> bytes(3 + field.size());
    bytes[0] = 0x01;
    bytes[1] = static_cast<unsigned char>(number);
    bytes[2] = static_cast<unsigned char>(255 - number);
    std::copy(field.begin(), field.end(), bytes.begin() + 3);
    if (crc) {
        unsigned check = bitwise_crc16(field.data(), field.size());
        bytes.push_back(static_cast<unsigned char>(check >> 8));
        bytes.push_back(static_cast<unsigned char>(check));
    } else {
        unsigned sum = 0;
        for (unsigned char byte : field)
            sum += byte;
        bytes.push_back(static_cast<unsigned char>(sum));
    }
    return bytes;
}
