// The serial line above its transports: which transport a -p value names,
// the port's messages, and the rules that hold for every kind of port: a
// read waits its time-out and no longer, a stop request ends every wait, a
// port that takes nothing for a while or fails has gone, and from then on
// reads wait out their time-out and writes go nowhere.
#include "serial/serial.h"

#include "console/console.h"
#include "serial/transport.h"
#include "serial/wait.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

// How long a send may make no progress before the port counts as gone: a
// server whose host has gone, a connection nobody reads.
enum { SEND_STALL_LIMIT_MS = 2000, OPEN_LIMIT_MS = 5000, REOPEN_EVERY_MS = 100 };

static const struct {
    const char *scheme;
    const Transport *transport;
} SCHEMES[] = {{"rfc2217://", &RFC2217_TRANSPORT}, {"socket://", &SOCKET_TRANSPORT}};

static const Transport *active = &LOCAL_TRANSPORT;
static std::string port_value; // as -p gave it
static std::string port_name;
static bool port_lost = false;
static bool closing = false;
static int (*key_watcher)() = nullptr;
static bool left_by_keys = false;

int port_stop_requested()
{
    return !closing && serial_stop_requested();
}

void serial_watch_keys(int (*keys)())
{
    key_watcher = keys;
}

bool port_keys_watched()
{
    return key_watcher != nullptr && !left_by_keys;
}

void port_keys_came()
{
    left_by_keys = key_watcher() != 0;
}

void port_work_run(void *started)
{
    PortWork work = *static_cast<PortWork *>(started);
    delete static_cast<PortWork *>(started);
    work.work(work.argument);
}

// The transport that the -p value names: a URL's scheme, in any case, or
// else a port of this machine.
static const Transport *transport_of(const char *port)
{
    for (const auto &scheme : SCHEMES) {
        if (strncasecmp(port, scheme.scheme, strlen(scheme.scheme)) == 0)
            return scheme.transport;
    }
    return &LOCAL_TRANSPORT;
}

// "Could not open serial port ..." or "Could not configure ...", the
// reason, a line each ended by a full stop unless it asks, and for a port of
// this machine the ports there are.
static void report_failure(const char *step, const std::string &why)
{
    fprintf(stderr, "Could not %s serial port %s.\n", step, port_name.c_str());
    for (size_t start = 0, end; start < why.size(); start = end + 1) {
        end = why.find('\n', start);
        if (end == std::string::npos)
            end = why.size();
        std::string line = why.substr(start, end - start);
        fprintf(stderr, "  %s%s\n", line.c_str(), !line.empty() && line.back() == '?' ? "" : ".");
    }
    if (active->lists_ports)
        serial_list_ports();
}

int serial_open(const char *port)
{
    active = transport_of(port);
    port_value = port;
    port_name = port;
    port_lost = false;
    std::string why;
    int opened = active->open(port, serial_clock_ms() + OPEN_LIMIT_MS, &port_name, &why);
    if (opened == STEP_FAILED)
        report_failure("open", why);
    if (opened != STEP_DONE)
        active->close(true); // nothing to put back yet
    return opened;
}

int serial_reopen(int limit_ms)
{
    long long give_up_at = serial_clock_ms() + limit_ms;
    active->close(true);
    for (;;) {
        std::string name, why;
        long long deadline = serial_clock_ms() + OPEN_LIMIT_MS;
        int opened = active->open(port_value.c_str(), deadline < give_up_at ? deadline : give_up_at,
                                  &name, &why);
        if (opened == STEP_DONE) {
            port_lost = false;
            return SERIAL_READY;
        }
        active->close(true);
        if (opened == STEP_STOPPED)
            return SERIAL_STOPPED;
        long long now = serial_clock_ms();
        if (now >= give_up_at)
            return SERIAL_FAILED;
        port_sleep_until(now + REOPEN_EVERY_MS < give_up_at ? now + REOPEN_EVERY_MS : give_up_at);
        if (port_stop_requested())
            return SERIAL_STOPPED;
    }
}

int serial_configure(int baud)
{
    std::string why;
    int configured = active->configure(baud, &why);
    if (configured == STEP_FAILED)
        report_failure("configure", why);
    return configured;
}

int serial_set_speed(int baud, std::string *why)
{
    if (!port_lost)
        return active->set_speed(baud, why);
    *why = "The port has gone";
    return SERIAL_FAILED;
}

void serial_write(const unsigned char *bytes, int count)
{
    while (count > 0 && !port_lost) {
        int sent = active->send(bytes, count, serial_clock_ms() + SEND_STALL_LIMIT_MS);
        if (serial_stop_requested())
            return; // what the port did not take at once stays unsent
        if (sent <= 0) {
            port_lost = true;
            return;
        }
        bytes += sent;
        count -= sent;
    }
}

int serial_read(unsigned char *buffer, int capacity, int timeout_ms)
{
    // The clock rounds up: "now" as a deadline could still be most of a
    // millisecond away. A deadline already past takes only what is there.
    long long deadline = timeout_ms > 0 ? serial_clock_ms() + timeout_ms : 0;
    if (!port_lost) {
        int got = active->receive(buffer, capacity, deadline);
        if (got != IO_LOST)
            return got;
        port_lost = true;
    }
    // A port that has gone would answer at once on every read: waiting out
    // the time-out keeps the callers' loops calm.
    port_sleep_until(deadline);
    return 0;
}

int serial_wait_input(int timeout_ms, bool watch_stdin)
{
    return active->wait_input(timeout_ms, watch_stdin);
}

int serial_stop_requested()
{
    return left_by_keys || console_stop_requested() || console_command_stops_line();
}

int serial_lost()
{
    return port_lost;
}

const char *serial_name()
{
    return port_name.c_str();
}

void serial_close()
{
    // What puts the line back must get through, a stop request or not.
    closing = true;
    active->close(port_lost);
    closing = false;
}
