// The loader's speed switch: U-Boot's loadx, loady and loadb with a speed
// print "## Switch baudrate to 921600 bps and press ENTER ..." and wait for
// a carriage return at the new speed; after the transfer, "... press ESC
// ..." and an Escape bring the line back.
#ifndef DRAMLIFT_SPEED_SWITCH_H
#define DRAMLIFT_SPEED_SWITCH_H

struct SpeedSwitch {
    int baud;
    unsigned char key; // what tells the loader that the line is there
};

// Follows what the board prints, across calls; returns 1 when these bytes
// complete a request to switch, with what it asks in *wanted.
int speed_switch_asked(const unsigned char *bytes, int count, SpeedSwitch *wanted);

// Lets the rest of the request's line come (handed to show, unless that is
// nullptr) and the loader get ready, then sets the line to the speed asked
// for and sends the key, saying so on standard error on a line of its own;
// or says why not, and leaves the line as it was.
void speed_switch_follow(const SpeedSwitch &wanted, int (*show)(const unsigned char *, int));

#endif
