// What came back from the board where the tool waited for it or for its
// answers, kept so that a run that went wrong can say what the board did
// instead: nothing at all, the tool's own bytes, text of its own, or noise.
#ifndef DRAMLIFT_HEARD_H
#define DRAMLIFT_HEARD_H

enum HeardPhase { HEARD_WAKE, HEARD_TRANSFER, HEARD_LOADER };

// Starts a new record, for the wait for the board (where the wake pattern
// coming back means a looped line), for the transfer, or for the wait for
// the RAM loader's greeting after the boot ROM took it.
void heard_begin(HeardPhase phase);

// Takes bytes from the board; answered tells whether they were the answers
// waited for, which count only as something having come.
void heard_take(const unsigned char *bytes, int count, bool answered);

// Says on standard error, in indented lines, what the record shows; nothing
// when the board gave answers and nothing else.
void heard_explain();

#endif
