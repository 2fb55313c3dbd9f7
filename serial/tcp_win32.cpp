// A TCP connection to a port server on Windows, through Winsock. The
// socket's event is set when it can be read or written, or has connected or
// closed: every wait is on it and the console's stop event together.
#include "serial/tcp.h"

#include "serial/transport.h"
#include "serial/wait.h"

#include <mstcpip.h>
#include <windows.h>

enum { KEEPALIVE_MS = 1000 };

static SOCKET connection = INVALID_SOCKET;
static WSAEVENT readiness = WSA_INVALID_EVENT;

int tcp_resolve(const std::string &host, const std::string &service, addrinfo **addresses)
{
    static bool started = false;
    WSADATA winsock;
    if (!started)
        started = WSAStartup(MAKEWORD(2, 2), &winsock) == 0;
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    return getaddrinfo(host.c_str(), service.c_str(), &hints, addresses) == 0 ? 0
                                                                              : WSAGetLastError();
}

std::string tcp_resolve_error(int error)
{
    return win32_error_text(static_cast<unsigned long>(error));
}

void tcp_free_addresses(addrinfo *addresses)
{
    freeaddrinfo(addresses);
}

// The events that have come since the last look, which unsets the event.
static long events_since()
{
    WSANETWORKEVENTS happened = {};
    WSAEnumNetworkEvents(connection, readiness, &happened);
    return happened.lNetworkEvents;
}

static void release_socket()
{
    if (connection != INVALID_SOCKET)
        closesocket(connection);
    if (readiness != WSA_INVALID_EVENT)
        WSACloseEvent(readiness);
    connection = INVALID_SOCKET;
    readiness = WSA_INVALID_EVENT;
}

int tcp_connect_to(const addrinfo *address, long long deadline_ms, int *error)
{
    connection = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (connection == INVALID_SOCKET) {
        *error = WSAGetLastError();
        return STEP_FAILED;
    }
    // The reset command (-r) must not hold the connection open.
    SetHandleInformation(reinterpret_cast<HANDLE>(connection), HANDLE_FLAG_INHERIT, 0);
    // Makes the socket non-blocking, too.
    readiness = WSACreateEvent();
    WSAEventSelect(connection, readiness, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE);
    *error = 0;
    int step = STEP_DONE;
    if (connect(connection, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
        *error = WSAGetLastError();
        while (*error == WSAEWOULDBLOCK) {
            int waited = port_wait(readiness, true, deadline_ms);
            WSANETWORKEVENTS happened = {};
            WSAEnumNetworkEvents(connection, readiness, &happened);
            if (waited == WAIT_STOPPED)
                step = STEP_STOPPED;
            else if (waited == WAIT_TIMED_OUT)
                *error = WSAETIMEDOUT;
            else if (happened.lNetworkEvents & FD_CONNECT)
                *error = happened.iErrorCode[FD_CONNECT_BIT];
            if (step == STEP_STOPPED)
                break;
        }
    }
    if (step == STEP_DONE && *error != 0)
        step = STEP_FAILED;
    if (step != STEP_DONE) {
        release_socket();
        return step;
    }
    // Each packet at once; and a probe every second while nothing is sent,
    // so that a server whose host has gone is noticed.
    BOOL on = TRUE;
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on),
               sizeof on);
    tcp_keepalive probes = {1, KEEPALIVE_MS, KEEPALIVE_MS};
    DWORD returned;
    WSAIoctl(connection, SIO_KEEPALIVE_VALS, &probes, sizeof probes, nullptr, 0, &returned, nullptr,
             nullptr);
    return STEP_DONE;
}

std::string tcp_error_text(int error)
{
    return win32_error_text(static_cast<unsigned long>(error));
}

int tcp_receive(unsigned char *buffer, int capacity, long long deadline_ms)
{
    for (;;) {
        int got = recv(connection, reinterpret_cast<char *>(buffer), capacity, 0);
        if (got > 0)
            return got;
        if (got == 0 || WSAGetLastError() != WSAEWOULDBLOCK)
            return IO_LOST;
        int waited = port_wait(readiness, false, deadline_ms);
        events_since();
        if (waited != WAIT_READY)
            return 0;
    }
}

int tcp_send(const unsigned char *bytes, int count, long long deadline_ms)
{
    int sent = 0;
    while (sent < count) {
        int taken = send(connection, reinterpret_cast<const char *>(bytes) + sent, count - sent, 0);
        if (taken > 0) {
            sent += taken;
            continue;
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK)
            return IO_LOST;
        int waited = port_wait(readiness, true, deadline_ms);
        events_since();
        if (waited != WAIT_READY)
            break;
    }
    return sent;
}

static int has_input()
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(connection, &readable);
    timeval now = {0, 0};
    return select(0, &readable, nullptr, nullptr, &now) != 0;
}

int tcp_wait_input(int timeout_ms, bool watch_stdin)
{
    return port_wait_input(has_input, timeout_ms, watch_stdin);
}

void tcp_close()
{
    release_socket();
}
