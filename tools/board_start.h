// What the emulated boot ROM does once its download has taken a RAM loader:
// places it in DRAM and runs it on the board's core, with UART0 at the ROM's
// divisor for 115200 baud; or, as a ROM may, does not start it at all.
#ifndef DRAMLIFT_BOARD_START_H
#define DRAMLIFT_BOARD_START_H

#include <vector>

struct StartPlan {
    long tclk;          // 166666667 or 200000000 Hz, as the Sample-at-Reset register says
    bool paced;         // the core's time kept to the wall clock
    int turnaround_ms;  // with paced: the board's bytes reach the tool so much later
    long line_limit;    // rates above this many baud do not cross the wire; 0: any
    long corrupt_byte;  // after the first switch, the tool's byte of this number, once
    const char *expect; // the image as the tool sends it, trailer included; nullptr: none
    int hang_first;     // the first so many loaders are never started
};

// Starts the RAM loader in the data that the ROM took (its header first):
// the number-th of the board's life. Says what happened; returns 1 when the
// loader took the image and went to it as it should.
int board_start_ram_loader(const StartPlan &plan, const std::vector<unsigned char> &data,
                           int number);

#endif
