// The loader's speed switch: U-Boot's loadx, loady and loadb with a speed
// ("loady 0x800000 921600") print "## Switch baudrate to 921600 bps and
// press ENTER ..." and wait for a carriage return at the new speed; after
// the transfer, "... press ESC ..." and an Escape bring the line back. A
// request is followed only where the loader can mean it: the switch when a
// line has gone from this terminal since the last request, however it was
// typed, recalled or built, and the loader falls quiet after the request's
// line, waiting for the key as it does; the switch back after such a
// switch. The same text amid other output (a log listed on the board)
// changes nothing, and standard error says so.
#ifndef DRAMLIFT_SPEED_SWITCH_H
#define DRAMLIFT_SPEED_SWITCH_H

struct SpeedSwitch {
    int baud;
    unsigned char key;   // what tells the loader that the line is there
    const char *refused; // why it is not followed; nullptr when it is
};

// Follows what the terminal sends to the board, for the lines it ends.
void speed_switch_note_sent(const unsigned char *bytes, int count);

// Follows what the board prints, across calls; returns 1 when these bytes
// complete a request to switch, with what it asks in *wanted.
int speed_switch_asked(const unsigned char *bytes, int count, SpeedSwitch *wanted);

// For a request to be followed, lets the rest of its line come (handed to
// show, unless that is nullptr) and the loader get ready, then sets the line
// to the speed asked for and sends the key, saying so on standard error on a
// line of its own; or says why not, and leaves the line as it was. A stop
// request meanwhile switches nothing, and says nothing.
void speed_switch_follow(const SpeedSwitch &wanted, int (*show)(const unsigned char *, int));

#endif
