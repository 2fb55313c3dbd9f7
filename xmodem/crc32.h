#ifndef DRAMLIFT_CRC32_H
#define DRAMLIFT_CRC32_H

#include <cstddef>
#include <cstdint>

// CRC-32 as zlib and U-Boot's crc32 command compute it (reflected
// polynomial 0xEDB88320, initial and final XOR 0xFFFFFFFF), carried on from
// the CRC of what came before (0 for none). The check of "123456789" is
// 0xCBF43926.
uint32_t crc32_ieee(uint32_t crc, const unsigned char *data, size_t count);

#endif
