// The emulated board's end of the line: the master side of a pseudo-terminal.
#ifndef DRAMLIFT_BOARD_LINE_H
#define DRAMLIFT_BOARD_LINE_H

enum { LINE_SILENT = -1, LINE_CLOSED = -2 };

// Creates the pseudo-terminal; returns the path of the device that the tool
// opens, or nullptr.
const char *line_open();

// Holds the device open, raw, until line_let_go: done by line_open, and
// again for the next tool after one has left. Returns 0 on failure.
int line_hold();

// Stops holding the device open ourselves, so that its closing by the tool
// becomes visible as LINE_CLOSED.
void line_let_go();

// Returns the next byte, LINE_SILENT after timeout_ms without one, or
// LINE_CLOSED once nobody holds the device open any more.
int line_read(int timeout_ms);

void line_write(unsigned char byte);

// Whether a write would go out at once; a line whose reader stopped reading
// fills up, and a board cannot wait for it.
bool line_can_write();

// Writes the bytes with one call, as a board that sends them together.
void line_write_all(const unsigned char *bytes, int count);

// The same for text.
void line_write_text(const char *text);

// Holds everything written from now on back until the given point on the
// clock, as a slow line would: then it goes out in the order written. The
// board keeps reading meanwhile.
void line_hold_output_until(long long when_us);

// Waits up to timeout_ms for the tool to close the device.
void line_wait_closed(int timeout_ms);

// The master's descriptor, for handing the line to another program.
int line_descriptor();

// The speed that the tool has set on the line, in baud; 0 for one that has
// no number.
int line_speed();

// The speed the line was at when the byte that line_read returned last came:
// looked at as soon as its burst was read off the line, before the tool can
// have set another.
int line_arrival_speed();

// A monotonic clock in microseconds, and a sleep until a point on it.
long long line_clock_us();
void line_sleep_until(long long when_us);

#endif
