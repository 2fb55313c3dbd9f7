#include "tests/scripted_serial.h"

#include "serial/serial.h"

static std::vector<int> script;
static size_t next_answer;
static ScriptPort port_kind;
static ScriptRecord record;

void script_reset(const std::vector<int> &answers, ScriptPort port)
{
    script = answers;
    next_answer = 0;
    port_kind = port;
    record = ScriptRecord{};
    record.answers_left = answers.size();
}

const ScriptRecord &script_record()
{
    return record;
}

std::vector<unsigned char> script_written()
{
    std::vector<unsigned char> written;
    for (const ScriptEvent &event : record.events) {
        if (event.write)
            written.insert(written.end(), event.bytes.begin(), event.bytes.end());
    }
    return written;
}

std::vector<size_t> script_write_sizes()
{
    std::vector<size_t> sizes;
    for (const ScriptEvent &event : record.events) {
        if (event.write)
            sizes.push_back(event.bytes.size());
    }
    return sizes;
}

std::vector<int> script_read_timeouts()
{
    std::vector<int> timeouts;
    for (const ScriptEvent &event : record.events) {
        if (!event.write && event.timeout_ms > 0)
            timeouts.push_back(event.timeout_ms);
    }
    return timeouts;
}

int serial_open(const char *port)
{
    record.opened_port = port;
    record.open = port_kind != PORT_MISSING && port_kind != PORT_STOPPED_AT_OPEN;
    record.stopped = port_kind == PORT_STOPPED_AT_OPEN;
    return record.stopped ? SERIAL_STOPPED : record.open ? SERIAL_READY : SERIAL_FAILED;
}

int serial_configure(int baud)
{
    record.configured_baud = baud;
    record.stopped = port_kind == PORT_STOPPED_AT_CONFIGURE;
    return record.stopped                     ? SERIAL_STOPPED
           : port_kind == PORT_UNCONFIGURABLE ? SERIAL_FAILED
                                              : SERIAL_READY;
}

void serial_write(const unsigned char *bytes, int count)
{
    record.events.push_back({true, 0, std::vector<unsigned char>(bytes, bytes + count),
                             record.clock_ms, record.clock_ms, record.lost});
}

// Takes the next entry for a read that waits up to timeout_ms.
static void take_awaited(int timeout_ms, std::vector<unsigned char> *bytes)
{
    if (record.lost || next_answer == script.size() || script[next_answer] == SILENCE) {
        next_answer += !record.lost && next_answer < script.size() ? 1 : 0;
        record.clock_ms += timeout_ms;
        return;
    }
    int delay_ms = script[next_answer] >> DELAY_SHIFT;
    if (delay_ms > timeout_ms) {
        script[next_answer] -= timeout_ms << DELAY_SHIFT;
        record.clock_ms += timeout_ms;
        return;
    }
    record.clock_ms += delay_ms;
    bytes->push_back(static_cast<unsigned char>(script[next_answer++]));
}

int serial_read(unsigned char *buffer, int capacity, int timeout_ms)
{
    ScriptEvent event = {false, timeout_ms, {}, record.clock_ms, 0, false};
    if (next_answer < script.size() && script[next_answer] == LINE_LOST) {
        record.lost = true;
        ++next_answer;
    }
    if (next_answer < script.size() && script[next_answer] == STOP) {
        record.stopped = true;
        ++next_answer;
    }
    if (timeout_ms > 0 && !record.stopped) {
        take_awaited(timeout_ms, &event.bytes);
    } else {
        while (!record.lost && next_answer < script.size() && script[next_answer] >= 0 &&
               (script[next_answer] & QUEUED_FLAG) != 0 &&
               event.bytes.size() < static_cast<size_t>(capacity))
            event.bytes.push_back(static_cast<unsigned char>(script[next_answer++]));
    }
    record.answers_left = script.size() - next_answer;
    event.end_ms = record.clock_ms;
    event.lost = record.lost;
    record.events.push_back(event);
    std::copy(event.bytes.begin(), event.bytes.end(), buffer);
    return static_cast<int>(event.bytes.size());
}

long long serial_clock_ms()
{
    return record.clock_ms;
}

// The line has input when the next entry is a byte; otherwise the whole
// time-out passes.
int serial_wait_input(int timeout_ms, bool)
{
    if (!record.lost && next_answer < script.size() && script[next_answer] >= 0)
        return SERIAL_INPUT_LINE;
    record.clock_ms += timeout_ms;
    return 0;
}

int serial_stop_requested()
{
    return record.stopped;
}

int serial_lost()
{
    return record.lost;
}

const char *serial_name()
{
    return record.opened_port.c_str();
}

void serial_close()
{
    record.open = false;
}

// A scripted port that has gone comes back at once, the script going on.
int serial_reopen(int)
{
    record.lost = false;
    return SERIAL_READY;
}

// A scripted line keeps its one speed, and has no keyboard to watch.
int serial_set_speed(int, std::string *why)
{
    *why = "scripted";
    return SERIAL_FAILED;
}

void serial_watch_keys(int (*)()) {}
