// Bringing the board into its serial download.
#ifndef DRAMLIFT_WAKE_H
#define DRAMLIFT_WAKE_H

enum { WAKE_PATTERN_SIZE = 8 };

// BB 11 22 33 44 55 66 77: what brings the board into its serial download.
extern const unsigned char WAKE_PATTERN[WAKE_PATTERN_SIZE];

// Writes the wake pattern.
void send_wake_pattern();

enum WakeResult {
    WAKE_ANSWERED,
    WAKE_PORT_LOST,
    WAKE_STOPPED, // asked to stop, or the line acts so (serial_stop_requested)
    WAKE_NO_ANSWER,
};

// Sends the pattern about every 50 ms until the board answers NAK: the user
// or a reset command switches the board on or resets it meanwhile. Waits as
// long as that takes, or limit_s seconds when that is above 0, until the
// port goes away, or until the process is asked to stop. Once the first
// pattern has gone, calls first_sent (unless nullptr), which ends the wait
// as stopped by returning false. What else the board sends meanwhile goes to
// the record of what was heard (app/heard.h).
WakeResult wake_board(int limit_s, bool (*first_sent)());

#endif
