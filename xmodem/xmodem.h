// Sending one block of memory by XMODEM with 128-byte blocks, in CRC-16 or
// checksum mode as the receiver asks.
#ifndef DRAMLIFT_XMODEM_H
#define DRAMLIFT_XMODEM_H

enum XmodemByte {
    XMODEM_SOH = 0x01,
    XMODEM_EOT = 0x04,
    XMODEM_ACK = 0x06,
    XMODEM_NAK = 0x15,
    XMODEM_CAN = 0x18,
    XMODEM_CRC_START = 'C',
    XMODEM_FILLER = 0x1A,
};

enum XmodemResult {
    XMODEM_ERR_CANCELLED = -1,     // the receiver sent CAN twice in a row
    XMODEM_ERR_NO_SYNC = -2,       // no start character in 16 tries
    XMODEM_ERR_BLOCK_RETRIES = -4, // a block not acknowledged in 25 tries
    XMODEM_ERR_NO_EOT_ACK = -5,    // the EOT not acknowledged in 10 tries
    XMODEM_ERR_LINE_LOST = -6,     // the port went away; no code is shown for it
    XMODEM_ERR_STOPPED = -7,       // the process was asked to stop; nor for this
};

// Sends size bytes of data, showing the progress on standard output.
// Returns 128 times the number of blocks sent, or one of XmodemResult. A
// stop request ends the transfer wherever it is, and once the receiver has
// asked for the first block, CAN CAN CAN tells it so.
int xmodem_send(const unsigned char *data, int size);

// Has xmodem_send tell `heard` of every byte that the receiver sends while
// the sender waits for its answers, and whether it was one (a start
// character, ACK, NAK or CAN where it counts): what else comes says what the
// other end is doing instead.
void xmodem_watch(void (*heard)(const unsigned char *bytes, int count, bool answered));

// Whether xmodem_send shows its progress ("Downloading boot code...( 42%)")
// after blanking the console line; it does unless told otherwise.
void xmodem_show_progress(bool shown);

// Drops what the receiver is still sending, until it falls silent for 1.5 s,
// sends a byte that is 0 or above 0x7F, or 10 s have passed.
void xmodem_flush_input();

// Cancels the transfer from the sending side.
void xmodem_give_up();

#endif
