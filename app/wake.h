// Bringing the board into its serial download.
#ifndef DRAMLIFT_WAKE_H
#define DRAMLIFT_WAKE_H

// Writes the 8-byte wake pattern, BB 11 22 33 44 55 66 77.
void send_wake_pattern();

enum WakeResult { WAKE_ANSWERED, WAKE_PORT_LOST, WAKE_STOPPED, WAKE_NO_ANSWER };

// Sends the pattern about every 50 ms until the board answers NAK: the user
// switches the board on or resets it meanwhile. Waits as long as that takes,
// or limit_s seconds when that is above 0, until the port goes away, or
// until the process is asked to stop.
WakeResult wake_board(int limit_s);

#endif
