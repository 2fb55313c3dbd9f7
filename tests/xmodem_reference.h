// XMODEM packets built the plain way, to hold the sender's output against.
#ifndef DRAMLIFT_XMODEM_REFERENCE_H
#define DRAMLIFT_XMODEM_REFERENCE_H

#include <cstddef>
#include <vector>

// CRC-16/XMODEM the slow way, one bit at a time.
unsigned bitwise_crc16(const unsigned char *data, size_t count);

// The 128-byte data field of the block at `offset` of an image of `size`
// bytes: the image bytes, then one 0x1A, then zeros.
std::vector<unsigned char> data_field(const unsigned char *image, size_t size, size_t offset);

inline std::vector<unsigned char> data_field(const std::vector<unsigned char> &image, size_t offset)
{
    return data_field(image.data(), image.size(), offset);
}

// SOH, number, complement, field, then CRC-16 (high byte first) or the sum.
std::vector<unsigned char> packet(const std::vector<unsigned char> &field, unsigned number,
                                  bool crc);

#endif
