// The emulated board: it answers the wake pattern, then receives by XMODEM,
// misbehaving on purpose where its fault plan says so.
#ifndef DRAMLIFT_BOARD_RECEIVER_H
#define DRAMLIFT_BOARD_RECEIVER_H

#include <string>
#include <vector>

// Blocks are counted from 1 in the order they arrive, without wrapping;
// 0 leaves a fault out.
struct FaultPlan {
    bool checksum_mode; // ask for the 8-bit sum instead of CRC-16
    bool paced;         // take as long as a 115200-baud wire would
    int nak_block;      // answer NAK to the first nak_tries tries of this block
    int nak_tries;
    int can_once_block; // answer the first try of this block with a lone CAN
    int cancel_block;   // cancel with CAN CAN at this block
    bool silent;        // say nothing after the wake NAK
    bool nak_eot;       // answer every EOT with NAK
};

struct Reception {
    std::vector<unsigned char> data; // every accepted data field, filler included
    int blocks;
    int naks;            // packets answered with NAK, whatever the reason
    bool completed;      // the EOT was acknowledged
    std::string failure; // why not, when not
};

// Waits for the wake pattern and answers it with NAK. Returns 0 if the line
// closes first.
int board_wait_for_wake();

void board_receive(const FaultPlan &plan, Reception *reception);

#endif
