// A TCP connection to a port server on POSIX systems.
#include "serial/tcp.h"

#include "serial/transport.h"
#include "serial/wait.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

enum { DEAD_SERVER_MS = 2000 };

static int connection = -1;

int tcp_resolve(const std::string &host, const std::string &service, addrinfo **addresses)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    return getaddrinfo(host.c_str(), service.c_str(), &hints, addresses);
}

std::string tcp_resolve_error(int error)
{
    return gai_strerror(error);
}

void tcp_free_addresses(addrinfo *addresses)
{
    freeaddrinfo(addresses);
}

// Each packet goes at once, and a server that stops answering (its host
// gone) is noticed within about 2 s: keep-alive probes while nothing is
// sent, and a limit on how long what was sent may go unacknowledged.
static void set_socket_options(int fd)
{
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
#ifdef __linux__
    int second = 1;
    int probes = 1;
    unsigned int limit_ms = DEAD_SERVER_MS;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &second, sizeof second);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &second, sizeof second);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &limit_ms, sizeof limit_ms);
#endif
}

int tcp_connect_to(const addrinfo *address, long long deadline_ms, int *error)
{
    int fd = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (fd < 0) {
        *error = errno;
        return STEP_FAILED;
    }
    fcntl(fd, F_SETFL, O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    *error = connect(fd, address->ai_addr, address->ai_addrlen) == 0 ? 0 : errno;
    int step = STEP_DONE;
    if (*error == EINPROGRESS) {
        int waited = port_wait(fd, true, deadline_ms);
        socklen_t size = sizeof *error;
        if (waited == WAIT_STOPPED)
            step = STEP_STOPPED;
        else if (waited == WAIT_TIMED_OUT)
            *error = ETIMEDOUT;
        else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, error, &size) != 0)
            *error = errno;
    }
    if (step == STEP_DONE && *error != 0)
        step = STEP_FAILED;
    if (step != STEP_DONE) {
        close(fd);
        return step;
    }
    set_socket_options(fd);
    connection = fd;
    return STEP_DONE;
}

std::string tcp_error_text(int error)
{
    return strerror(error);
}

int tcp_receive(unsigned char *buffer, int capacity, long long deadline_ms)
{
    return port_receive(connection, buffer, capacity, deadline_ms);
}

int tcp_send(const unsigned char *bytes, int count, long long deadline_ms)
{
    return port_send(connection, bytes, count, deadline_ms);
}

int tcp_wait_input(int timeout_ms, bool watch_stdin)
{
    return port_wait_input(connection, timeout_ms, watch_stdin);
}

void tcp_close()
{
    if (connection >= 0)
        close(connection);
    connection = -1;
}
