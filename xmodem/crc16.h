#ifndef DRAMLIFT_CRC16_H
#define DRAMLIFT_CRC16_H

#include <cstdint>

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final
// XOR. The check of "123456789" is 0x31C3.
uint16_t crc16_xmodem(const unsigned char *data, int count);

#endif
