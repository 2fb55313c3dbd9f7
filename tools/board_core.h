// The board's core: an ARM926 (Unicorn's model) with DRAM from address 0,
// UART0 and the Sample-at-Reset register at the internal registers' base,
// running the RAM loader that the boot ROM took, from the ROM's jump until
// the loader's own jump to the image it took. Then it looks at what the
// loader left: the mode it jumped in, the UART, the image in DRAM and where
// else it wrote.
#ifndef DRAMLIFT_BOARD_CORE_H
#define DRAMLIFT_BOARD_CORE_H

#include "tools/board_uart.h"

#include <cstdint>
#include <string>
#include <vector>

// What the boot ROM's download placed, and where it jumps.
struct CoreStart {
    std::vector<unsigned char> data; // from the header's data on, filler included
    uint32_t load_address;
    uint32_t exec_address;
};

// The image that the loader should leave, as the ROM's own download of it
// would: its bytes after the header at the destination, its trailer after
// them, and the XMODEM filler's room beyond.
struct CoreExpected {
    std::vector<unsigned char> bytes; // from the header's data on, trailer included
    uint32_t destination;
    uint32_t exec_address;
    uint32_t room; // bytes from the destination that the ROM's download would cover
};

// Whether this build of the emulator has the core.
bool core_available();

// Runs the loader; prints what it found, a line each; returns 1 when the
// loader jumped and every check holds, 0 otherwise. Without an expected
// image, what cannot be checked is said.
int core_run(const CoreStart &start, const UartSetup &uart, const CoreExpected *expected);

// The stretches of DRAM that the last run wrote outside the expected image,
// first and last byte each, in the order first written.
struct CoreWrites {
    uint32_t first, last;
};
const std::vector<CoreWrites> &core_writes_outside();

#endif
