// The board's UART0 as a program on its emulated core sees it: a 16550 with
// 16-byte FIFOs both ways, registers 4 bytes apart, its rate the clock over
// 16 times the divisor. Bytes cross the line only where the tool's end runs
// within 2.5 % of that rate; otherwise they arrive garbled both ways, as on
// a wire. Time is the core's: instructions at a stated, conservative speed
// for a core with its caches off, so that a program too slow for its rate
// loses bytes and sees the overrun bit, as on the board.
#ifndef DRAMLIFT_BOARD_UART_H
#define DRAMLIFT_BOARD_UART_H

#include <cstdint>

enum {
    UART_INSTRUCTIONS_PER_US = 25,
    UART_REGISTERS = 0x18, // RBR/THR/DLL to LSR
};

struct UartSetup {
    long tclk;         // the core's clock, in Hz
    int rom_divisor;   // what the boot ROM left: its 115200 baud
    bool paced;        // keep the core's time to the clock on the wall
    int turnaround_ms; // the board's bytes reach the tool so much later (a USB adapter)
    long line_limit;   // rates above this many baud do not cross the wire; 0: any
    long corrupt_byte; // after the first switch, the tool's byte of this number (from 1)
                       // arrives with a bit flipped, once; 0: none
};

void uart_start(const UartSetup &setup);

// The registers, at their offsets from UART0's base.
uint32_t uart_read(uint32_t offset);
void uart_write(uint32_t offset, uint32_t value);

// The core has run so many more instructions.
void uart_advance(uint64_t instructions);

// The core's time, in nanoseconds from uart_start.
long long uart_now_ns();

int uart_divisor();
int uart_rate(); // in baud, at the divisor in force

// Once the tool has closed the line and the core has waited for more.
bool uart_line_closed();

// Says what the line carried: the time away from the ROM's divisor and the
// bytes that came meanwhile, and the bytes lost or garbled.
void uart_report();

#endif
