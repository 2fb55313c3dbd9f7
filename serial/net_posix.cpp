// Connecting to a port server on POSIX systems.
#include "console/console.h"
#include "serial/net.h"
#include "serial/serial.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

enum { CONNECT_LIMIT_MS = 5000, DEAD_SERVER_MS = 2000 };

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

// Connects to one address within the deadline; returns 0 or an errno.
static int connect_within(int fd, const addrinfo *address, long long deadline_ms)
{
    if (connect(fd, address->ai_addr, address->ai_addrlen) == 0)
        return 0;
    if (errno != EINPROGRESS)
        return errno;
    for (long long left; (left = deadline_ms - serial_clock_ms()) > 0;) {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(fd, &writable);
        timespec wait = {static_cast<time_t>(left / 1000),
                         static_cast<long>(left % 1000) * 1000000};
        int ready = pselect(fd + 1, nullptr, &writable, nullptr, &wait, console_wait_mask());
        if (ready > 0) {
            int error = 0;
            socklen_t size = sizeof error;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
            return error;
        }
        if (ready < 0 && (errno != EINTR || serial_stop_requested()))
            return EINTR;
    }
    return ETIMEDOUT;
}

NetSocket net_connect(const char *port, std::string *reason)
{
    std::string host, service;
    if (!net_address(port, &host, &service)) {
        *reason = "It is not a HOST:PORT address";
        return -1;
    }
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *addresses;
    int resolved = getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses);
    if (resolved != 0) {
        *reason = gai_strerror(resolved);
        return -1;
    }
    long long deadline = serial_clock_ms() + CONNECT_LIMIT_MS;
    int error = ENOENT;
    int fd = -1;
    for (const addrinfo *address = addresses; address != nullptr && fd < 0;
         address = address->ai_next) {
        fd = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        fcntl(fd, F_SETFL, O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        error = connect_within(fd, address, deadline);
        if (error != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(addresses);
    if (fd < 0) {
        *reason = strerror(error);
        return -1;
    }
    set_socket_options(fd);
    return fd;
}
