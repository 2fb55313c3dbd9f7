// A board played from a script behind serial/serial.h, on a virtual clock.
// Each read takes the script's next answer at once; a SILENCE entry, or an
// exhausted script, lets the read's whole time-out pass and yields 0.
#ifndef DRAMLIFT_SCRIPTED_SERIAL_H
#define DRAMLIFT_SCRIPTED_SERIAL_H

#include <string>
#include <vector>

constexpr int SILENCE = -1;

// Starts a new script; without a port, serial_open fails.
void script_reset(const std::vector<int> &answers, bool port_exists = true);

// One write or read on the line, in the order they happened.
struct ScriptEvent {
    int read_timeout_ms; // 0 for a write
    unsigned char byte;  // the byte written, or the value the read returned
};

struct ScriptRecord {
    std::vector<ScriptEvent> events;
    std::vector<size_t> write_sizes; // the bytes handed over by each write call
    long long clock_ms;              // virtual time spent in reads
    size_t answers_left;             // script entries nobody read
    int configured_baud;             // 0 until serial_configure
    bool open;
    std::string opened_port;
};
const ScriptRecord &script_record();

// The bytes written, and the time-outs of the reads, in order.
std::vector<unsigned char> script_written();
std::vector<int> script_read_timeouts();

#endif
