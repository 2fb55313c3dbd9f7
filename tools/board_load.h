// The emulated loader's loadx and loady: a file received by XMODEM (128- or
// 1024-byte blocks) or a YMODEM batch of one file, after the loader's speed
// switch when a speed is given, as U-Boot's commands do.
#ifndef DRAMLIFT_BOARD_LOAD_H
#define DRAMLIFT_BOARD_LOAD_H

// Receives one file, telling the tool on the line as it goes, and reports
// what arrived on standard output: how long it took, and "Loaded 300000
// bytes by YMODEM ('fw.bin'), CRC-32 516fad85, at 921600 baud.", or why
// nothing was. baud 0 keeps the line's speed. A paced loader answers each
// packet no sooner than a wire at the line's speed could have carried it.
void board_load(bool ymodem, int baud, bool paced);

#endif
