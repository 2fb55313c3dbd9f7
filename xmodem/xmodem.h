// Sending by XMODEM, in CRC-16 or checksum mode as the receiver asks: the
// boot image to the boot ROM in 128-byte blocks, and files from the terminal
// in 1024-byte blocks, alone or as a YMODEM batch.
#ifndef DRAMLIFT_XMODEM_H
#define DRAMLIFT_XMODEM_H

enum XmodemByte {
    XMODEM_SOH = 0x01,
    XMODEM_STX = 0x02,
    XMODEM_EOT = 0x04,
    XMODEM_ACK = 0x06,
    XMODEM_NAK = 0x15,
    XMODEM_CAN = 0x18,
    XMODEM_CRC_START = 'C',
    XMODEM_FILLER = 0x1A,
};

// How many times a block goes before the sender gives up on it: the boot
// ROM's download, and a file sent to a receiver that a user started.
enum { XMODEM_BOOT_BLOCK_TRIES = 25, XMODEM_FILE_BLOCK_TRIES = 10 };

enum XmodemResult {
    XMODEM_ERR_CANCELLED = -1,     // the receiver sent CAN twice in a row
    XMODEM_ERR_NO_SYNC = -2,       // no start character in 16 tries (60 s for a file)
    XMODEM_ERR_BLOCK_RETRIES = -4, // a block not acknowledged in its tries
    XMODEM_ERR_NO_EOT_ACK = -5,    // the EOT not acknowledged in 10 tries
    XMODEM_ERR_LINE_LOST = -6,     // the port went away; no code is shown for it
    XMODEM_ERR_STOPPED = -7,       // the process was asked to stop; nor for this
};

// Sends size bytes of data to the boot ROM. progress(percent), unless it is
// nullptr, hears 0 when the first block is about to go, and after each
// acknowledged block the share of the data that went before it. Returns 128
// times the number of blocks sent, or one of XmodemResult. A stop request
// ends the transfer wherever it is, and once the receiver has asked for the
// first block, CAN CAN CAN tells it so. After a cancel either way, what the
// boot ROM still sends is dropped (xmodem_flush_input).
int xmodem_send(const unsigned char *data, int size, void (*progress)(int percent));

// How a file goes from the terminal: XMODEM-1K (U-Boot's loadx, rx), or a
// YMODEM batch of that one file (loady, rb).
enum FileProtocol { PROTOCOL_XMODEM_1K, PROTOCOL_YMODEM };

// Sends size bytes to a receiver that a user started: 1024-byte blocks while
// more than 896 bytes are left and 128-byte ones after, filled with 0x1A;
// with YMODEM, block 0 with the name and the size comes first, and an empty
// block 0 ends the batch. The receiver has 60 s to ask for the first block;
// each block has 10 tries of 10 s. progress(percent) follows the share of
// the data acknowledged. Returns size, or one of XmodemResult. Nothing is
// dropped after a cancel: what the loader says next is for the user.
int xmodem_send_file(FileProtocol protocol, const char *name, const unsigned char *data, int size,
                     void (*progress)(int percent));

// Has xmodem_send tell `heard` of every byte that the receiver sends while
// the sender waits for its answers, and whether it was one (a start
// character, ACK, NAK or CAN where it counts): what else comes says what the
// other end is doing instead.
void xmodem_watch(void (*heard)(const unsigned char *bytes, int count, bool answered));

// Drops what the receiver is still sending, until it falls silent for 1.5 s,
// sends a byte that is 0 or above 0x7F, 10 s have passed, or the process is
// asked to stop.
void xmodem_flush_input();

#endif
