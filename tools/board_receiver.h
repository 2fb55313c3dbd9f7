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
    bool ignore_eot;    // leave every EOT unanswered
    int vanish_block;   // close the line when this block arrives
    // Random faults, each in the given share (0 to 1) of the packets:
    double corrupt_share; // a bit flipped on the way in: the packet is refused
    double lose_share;    // accepted, but the answer is lost
    double noise_share;   // a stray byte goes out before the answer
    double late_share;    // accepted, but the ACK comes 1.05 to 1.5 s late
    unsigned seed;        // makes the random faults repeatable
    std::string banner;   // sent right behind the EOT's ACK, in the same write
    std::string typed;    // where the loader writes what it receives
};

struct Reception {
    std::vector<unsigned char> data; // every accepted data field, filler included
    int blocks;
    int naks;                            // packets answered with NAK, whatever the reason
    int corrupted;                       // packets that arrived with a flipped bit
    int lost;                            // answers that were lost
    int late;                            // answers held back past the sender's wait
    int strays;                          // stray bytes sent
    int duplicates;                      // blocks that came again after their answer was lost
    std::vector<long long> reactions_us; // from each ACK to the next packet
    long long transfer_us;               // from the first packet to the EOT's ACK
    bool completed;                      // the EOT was acknowledged
    bool refused;                        // the boot ROM turned the image's header away
    bool vanished;                       // the board closed the line
    std::string failure;                 // why not, when not
};

enum WakeHeard { BOARD_WOKEN, BOARD_LINE_CLOSED, BOARD_WINDOW_PASSED };

// Waits for the wake pattern and answers it with NAK, but only once after_ms
// have passed since the tool was first heard, and only within window_ms of
// the call (any time when 0): a board just switched on listens for a moment,
// then boots from its flash.
WakeHeard board_wait_for_wake(int after_ms, int window_ms);

// Plays a board that is switched off until the file appears (the tool's
// reset command makes it); takes the file away and returns 1 then, or 0
// once the line has closed. What the tool sends meanwhile goes nowhere.
int board_wait_for_power(const char *file);

// Plays a board that is switched off: listens until the line closes and
// returns the number of wake patterns heard.
long board_count_wake_patterns();

// Plays a board that booted from its flash before the tool came: once it
// hears the tool, its loader prints its banner and prompt, and it never
// answers a wake pattern. Returns the number of wake patterns heard.
long board_boot_from_flash();

// Plays a board whose console never falls silent (it booted, and logs):
// once it hears the tool, it writes lines of text as fast as the line takes
// them until the line closes, answering nothing. Returns how many lines.
long board_chatter();

// Plays a looped line (TX joined to RX): every byte goes back as it came,
// until the line closes. Returns how many.
long board_loop_back();

// Whether the data, as the boot ROM took it, is a RAM loader, whose own data
// starts with a branch over its mark: the emulator runs those on its core.
bool board_is_ram_loader(const std::vector<unsigned char> &data);

// Receives the image, checking its boot header as the boot ROM does: one
// with a good header checksum but built for another boot source is turned
// away after its first block, and the board boots from its flash instead.
void board_receive(const FaultPlan &plan, Reception *reception);

#endif
