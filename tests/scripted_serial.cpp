#include "tests/scripted_serial.h"

#include "serial/serial.h"

static std::vector<int> script;
static size_t next_answer;
static bool port_exists;
static ScriptRecord record;

void script_reset(const std::vector<int> &answers, bool port_is_there)
{
    script = answers;
    next_answer = 0;
    port_exists = port_is_there;
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
        if (event.read_timeout_ms == 0)
            written.push_back(event.byte);
    }
    return written;
}

std::vector<int> script_read_timeouts()
{
    std::vector<int> timeouts;
    for (const ScriptEvent &event : record.events) {
        if (event.read_timeout_ms != 0)
            timeouts.push_back(event.read_timeout_ms);
    }
    return timeouts;
}

int serial_open(const char *port)
{
    record.opened_port = port;
    record.open = port_exists;
    return record.open ? 1 : 0;
}

void serial_configure(int baud)
{
    record.configured_baud = baud;
}

void serial_write(const unsigned char *bytes, int count)
{
    for (int i = 0; i < count; ++i)
        record.events.push_back({0, bytes[i]});
    record.write_sizes.push_back(static_cast<size_t>(count));
}

void serial_write_byte(unsigned char byte)
{
    serial_write(&byte, 1);
}

unsigned char serial_read_byte(int timeout_ms)
{
    int answer = next_answer < script.size() ? script[next_answer++] : SILENCE;
    record.answers_left = script.size() - next_answer;
    if (answer == SILENCE) {
        record.clock_ms += timeout_ms;
        answer = 0;
    }
    record.events.push_back({timeout_ms, static_cast<unsigned char>(answer)});
    return static_cast<unsigned char>(answer);
}

void serial_close()
{
    record.open = false;
}
