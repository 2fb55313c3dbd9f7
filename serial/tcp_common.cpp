// What a TCP connection to a port server does the same way on every
// platform: the address, the connect loop, and the raw port (socket://),
// whose line settings are the server's business.
#include "serial/tcp.h"

#include "serial/transport.h"
#include "serial/wait.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

int tcp_address(const char *port, std::string *host, std::string *service)
{
    const char *address = strstr(port, "://") + 3;
    const char *colon;
    if (address[0] == '[') {
        const char *end = strchr(address, ']');
        if (end == nullptr || end[1] != ':')
            return 0;
        host->assign(address + 1, end);
        colon = end + 1;
    } else {
        colon = strrchr(address, ':');
        if (colon == nullptr || memchr(address, ':', colon - address) != nullptr)
            return 0;
        host->assign(address, colon);
    }
    const char *digits = colon + 1;
    char *end;
    long number = strtol(digits, &end, 10);
    if (host->empty() || digits[0] < '0' || digits[0] > '9' || *end != '\0' || number < 1 ||
        number > 65535)
        return 0;
    *service = std::to_string(number);
    return 1;
}

// A name lookup on a thread of its own, as getaddrinfo() cannot be waited on
// with a deadline or a stop: whichever of the thread and the caller lets go
// of it last frees it, so that a caller that gives up need not wait.
namespace
{
struct Lookup {
    std::string host;
    std::string service;
    addrinfo *addresses = nullptr;
    int result = 0;
    std::atomic<bool> finished{false};
    PortSignal done; // raised once the lookup has ended, to wake the caller
    std::atomic<int> holders{2};
};
} // namespace

static void let_go(Lookup *lookup)
{
    if (--lookup->holders > 0)
        return;
    if (lookup->addresses != nullptr)
        tcp_free_addresses(lookup->addresses);
    port_signal_close(&lookup->done);
    delete lookup;
}

static void look_up(void *argument)
{
    Lookup *lookup = static_cast<Lookup *>(argument);
    lookup->result = tcp_resolve(lookup->host, lookup->service, &lookup->addresses);
    lookup->finished = true;
    port_signal_raise(&lookup->done);
    let_go(lookup);
}

static int look_up_within(const std::string &host, const std::string &service,
                          long long deadline_ms, addrinfo **addresses, std::string *why)
{
    Lookup *lookup = new Lookup;
    lookup->host = host;
    lookup->service = service;
    if (!port_signal_open(&lookup->done)) {
        delete lookup;
        *why = "The name lookup could not start";
        return STEP_FAILED;
    }
    if (!port_thread_start(look_up, lookup)) {
        lookup->holders = 1;
        let_go(lookup);
        *why = "The name lookup could not start";
        return STEP_FAILED;
    }
    int waited = port_wait(lookup->done.ends[0], false, deadline_ms);
    int step = STEP_DONE;
    if (waited == WAIT_STOPPED) {
        step = STEP_STOPPED;
    } else if (waited == WAIT_TIMED_OUT || !lookup->finished) {
        *why = "The name lookup took too long";
        step = STEP_FAILED;
    } else if (lookup->result != 0) {
        *why = tcp_resolve_error(lookup->result);
        step = STEP_FAILED;
    } else {
        *addresses = lookup->addresses;
        lookup->addresses = nullptr;
    }
    let_go(lookup);
    return step;
}

int tcp_open(const char *port, long long deadline_ms, std::string *why)
{
    std::string host, service;
    if (!tcp_address(port, &host, &service)) {
        *why = "It is not a HOST:PORT address";
        return STEP_FAILED;
    }
    addrinfo *addresses = nullptr;
    int step = look_up_within(host, service, deadline_ms, &addresses, why);
    if (step != STEP_DONE)
        return step;
    // Each address in turn, all within the one deadline; a stop ends the
    // loop, not just the attempt.
    int error = 0;
    step = STEP_FAILED;
    for (const addrinfo *address = addresses; address != nullptr && step == STEP_FAILED;
         address = address->ai_next)
        step = tcp_connect_to(address, deadline_ms, &error);
    tcp_free_addresses(addresses);
    if (step == STEP_FAILED)
        *why = tcp_error_text(error);
    return step;
}

static int socket_open(const char *port, long long deadline_ms, std::string *, std::string *why)
{
    return tcp_open(port, deadline_ms, why);
}

// Only drops what has arrived: the server sets the line up.
static int socket_configure(int, std::string *)
{
    unsigned char stale[256];
    while (tcp_receive(stale, sizeof stale, 0) > 0) {
    }
    return STEP_DONE;
}

static int socket_set_speed(int, std::string *why)
{
    *why = "A socket:// port carries bytes only: set the speed on the server";
    return STEP_FAILED;
}

static void socket_close(bool)
{
    tcp_close();
}

const Transport SOCKET_TRANSPORT = {socket_open, socket_configure, socket_set_speed, tcp_receive,
                                    tcp_send,    tcp_wait_input,   socket_close,     false};
