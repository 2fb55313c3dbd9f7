// Bringing the board into its serial download.
#ifndef DRAMLIFT_WAKE_H
#define DRAMLIFT_WAKE_H

// Writes the 8-byte wake pattern, BB 11 22 33 44 55 66 77.
void send_wake_pattern();

// Sends the pattern about every 50 ms until the board answers NAK, for as
// long as that takes: the user switches the board on or resets it meanwhile.
// Returns 1 once the board has answered, 0 if the port has gone away.
int wake_board();

#endif
