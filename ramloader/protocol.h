/* What the tool and the RAM loader say to each other, shared by both (C and
 * C++). The loader runs in the board's DRAM after the boot ROM's own
 * download; it greets at the ROM's speed, switches to a faster divisor when
 * asked, takes the image in checked blocks, and jumps to it when told.
 *
 * Frames from the tool: FRAME_START, type, number (2 bytes), length (2
 * bytes), a header check, the payload, and the CRC-32 (zlib's) of type
 * through payload; every number little-endian. Answers from the loader:
 * FRAME_START, type, a 32-bit value, and a check. The go byte alone is no
 * frame: it comes after the line is back at the ROM's speed. */
#ifndef DRAMLIFT_RAMLOADER_PROTOCOL_H
#define DRAMLIFT_RAMLOADER_PROTOCOL_H

/* The loader's image starts with a branch over this mark. */
#define LOADER_MARK "dramlift RAM loader 1"
#define LOADER_MARK_AT 4

/* The loader's stack, right after its image: its only memory besides the
 * image it takes. */
#define LOADER_STACK_SIZE 4096

/* Its first words, at the ROM's speed and after every fall back to it:
 * the greeting, the clock it found and the divisor the ROM left, in
 * decimal, then CR LF. */
#define LOADER_GREETING "DRAMLIFT LOADER 1 TCLK "
#define LOADER_GREETING_DIVISOR " DIVISOR "

#ifndef __ASSEMBLER__
enum {
    FRAME_START = 0x7E,
    FRAME_HEADER_SIZE = 7, /* start, type, number, length, check */
    FRAME_CRC_SIZE = 4,
    ANSWER_SIZE = 7, /* start, type, value, check */
    HEADER_CHECK_XOR = 0xA5,

    /* From the tool. */
    FRAME_SWITCH = 'S', /* payload: the divisor, 2 bytes */
    FRAME_PING = 'P',   /* right after a switch: the check that the new speed carries */
    FRAME_LOAD = 'L',   /* payload: destination, length, data size, execution address */
    FRAME_DATA = 'D',   /* number: the block; payload: its bytes */
    FRAME_END = 'E',    /* all blocks have gone */
    FRAME_HAIL = 'H',   /* at the ROM's speed: greet again */
    GO_BYTE = 'G',      /* at the ROM's speed: jump */

    /* From the loader. */
    ANSWER_SWITCHING = 's', /* value: the divisor; the loader switches once it is out */
    ANSWER_PONG = 'p',
    ANSWER_LOADING = 'l',
    ANSWER_REFUSED = 'r', /* value: why, one of the REFUSED_ */
    ANSWER_ACK = 'a',     /* value: the next block it expects, all before it taken */
    ANSWER_NAK = 'n',     /* value: the block it expects, sent again please */
    ANSWER_DONE = 'e',    /* value: one of the DONE_ */
    ANSWER_GOING = 'g',   /* the go byte came: the jump follows */

    REFUSED_RANGE = 1, /* the image would overlap the loader, or wrap */
    REFUSED_STATE = 2, /* not now */

    DONE_GOOD = 0,
    DONE_CHECKSUM = 1,   /* the data's checksum does not match */
    DONE_INCOMPLETE = 2, /* blocks are missing */

    FRAME_BLOCK_SIZE = 1024,
    FRAME_PING_SIZE = 16,
    /* The span that the loader keeps clear around the image it takes. */
    LOADER_CLEARANCE = 256,
};

/* The ping's payload: every bit value in both places, edges of every kind. */
#define PING_PAYLOAD                                                                               \
    {                                                                                              \
        0x55, 0xAA, 0x00, 0xFF, 0x0F, 0xF0, 0x33, 0xCC, 0x01, 0x80, 0x7E, 0x81, 0x5A, 0xA5, 0x3C,  \
            0xC3                                                                                   \
    }
#endif

#endif
