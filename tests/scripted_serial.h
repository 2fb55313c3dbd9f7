// A board played from a script behind serial/serial.h, on a virtual clock
// that moves only while a read waits. Each script entry is one byte from the
// board, or a silence:
// - a plain byte (0 to 255) arrives at once when a read waits for it;
// - after_ms(ms, byte) arrives ms after the read that waits for it began; a
//   read with a shorter time-out leaves it on its way, that much nearer;
// - queued(byte) has arrived already: a read that only takes what is there
//   (time-out 0) takes it, and so does a read that waits;
// - SILENCE lets one read's whole time-out pass; so does every read once
//   the script is exhausted;
// - LINE_LOST takes the port away: this read and every later one wait out
//   their time-outs and get nothing, and serial_lost() says so, until
//   serial_reopen brings it back;
// - STOP asks the process to stop: this read and every later one wait no
//   more and take only what is queued, and serial_stop_requested() says so.
// A read that waits takes one entry; a read with time-out 0 takes the queued
// entries at the head of the script.
#ifndef DRAMLIFT_SCRIPTED_SERIAL_H
#define DRAMLIFT_SCRIPTED_SERIAL_H

#include <string>
#include <vector>

constexpr int SILENCE = -1;
constexpr int LINE_LOST = -2;
constexpr int STOP = -3;
constexpr int QUEUED_FLAG = 0x100;
constexpr int DELAY_SHIFT = 9;

constexpr int queued(int byte)
{
    return byte | QUEUED_FLAG;
}

constexpr int after_ms(int ms, int byte)
{
    return byte | ms << DELAY_SHIFT;
}

enum ScriptPort {
    PORT_WORKS,
    PORT_MISSING,
    PORT_UNCONFIGURABLE,
    PORT_STOPPED_AT_OPEN,
    PORT_STOPPED_AT_CONFIGURE
};

// Starts a new script: serial_open fails on a missing port, serial_configure
// on an unconfigurable one; a stop request comes while either is under way.
void script_reset(const std::vector<int> &answers, ScriptPort port = PORT_WORKS);

// One write or read call on the line, in the order they happened.
struct ScriptEvent {
    bool write;
    int timeout_ms;                   // of a read
    std::vector<unsigned char> bytes; // written, or read: none when nothing came
    long long at_ms;                  // the virtual clock when the call began
    long long end_ms;                 // and when it returned
    bool lost;                        // the port was gone when it returned
};

struct ScriptRecord {
    std::vector<ScriptEvent> events;
    long long clock_ms;  // virtual time spent in reads
    size_t answers_left; // script entries nobody read
    int configured_baud; // 0 until serial_configure
    bool open;
    bool lost;
    bool stopped;
    std::string opened_port;
};
const ScriptRecord &script_record();

// The bytes written, the size of each write call, and the time-outs of the
// reads that waited (time-out above 0), in order.
std::vector<unsigned char> script_written();
std::vector<size_t> script_write_sizes();
std::vector<int> script_read_timeouts();

#endif
