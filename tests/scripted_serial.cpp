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

void serial_write_byte(unsigned char byte)
{
    record.written.push_back(byte);
}

unsigned char serial_read_byte(int timeout_ms)
{
    record.read_timeouts.push_back(timeout_ms);
    int answer = next_answer < script.size() ? script[next_answer++] : SILENCE;
    record.answers_left = script.size() - next_answer;
    if (answer == SILENCE) {
        record.clock_ms += timeout_ms;
        return 0;
    }
    return static_cast<unsigned char>(answer);
}

void serial_close()
{
    record.open = false;
}
