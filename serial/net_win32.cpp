// Ports on a port server on Windows, through Winsock.
#include "console/console.h"
#include "serial/net.h"
#include "serial/serial.h"

#include <cstdio>
#include <mstcpip.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

enum { CONNECT_LIMIT_MS = 5000, SESSION_LIMIT_MS = 5000, KEEPALIVE_MS = 1000 };

static SOCKET net_socket = INVALID_SOCKET;
static NetKind kind = NET_NONE;
static bool lost = false;
static WSAEVENT readiness = WSA_INVALID_EVENT; // set when the socket can be read or written

std::string win32_error_text(unsigned long error)
{
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                          text[length - 1] == ' ' || text[length - 1] == '.'))
        --length;
    if (length == 0)
        return "Error " + std::to_string(error);
    return std::string(text, length);
}

// Connects to one address within the deadline; returns 0 or the error.
static int connect_within(SOCKET socket, const addrinfo *address, long long deadline_ms)
{
    if (connect(socket, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0)
        return 0;
    if (WSAGetLastError() != WSAEWOULDBLOCK)
        return WSAGetLastError();
    long long left = deadline_ms - serial_clock_ms();
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    timeval wait = {static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
    if (left <= 0 || select(0, nullptr, &writable, &failed, &wait) == 0)
        return WSAETIMEDOUT;
    int error = 0;
    int size = sizeof error;
    getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &size);
    return error;
}

NetSocket net_connect(const char *port, std::string *reason)
{
    std::string host, service;
    if (!net_address(port, &host, &service)) {
        *reason = "It is not a HOST:PORT address";
        return INVALID_SOCKET;
    }
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *addresses;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses) != 0) {
        *reason = win32_error_text(WSAGetLastError());
        return INVALID_SOCKET;
    }
    long long deadline = serial_clock_ms() + CONNECT_LIMIT_MS;
    int error = WSAHOST_NOT_FOUND;
    SOCKET connected = INVALID_SOCKET;
    for (const addrinfo *address = addresses; address != nullptr && connected == INVALID_SOCKET;
         address = address->ai_next) {
        connected = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
        if (connected == INVALID_SOCKET) {
            error = WSAGetLastError();
            continue;
        }
        u_long non_blocking = 1;
        ioctlsocket(connected, FIONBIO, &non_blocking);
        error = connect_within(connected, address, deadline);
        if (error != 0) {
            closesocket(connected);
            connected = INVALID_SOCKET;
        }
    }
    freeaddrinfo(addresses);
    if (connected == INVALID_SOCKET) {
        *reason = win32_error_text(static_cast<unsigned long>(error));
        return INVALID_SOCKET;
    }
    // Each packet at once; and a probe every second while nothing is sent,
    // so that a server whose host has gone is noticed.
    BOOL on = TRUE;
    setsockopt(connected, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
    tcp_keepalive probes = {1, KEEPALIVE_MS, KEEPALIVE_MS};
    DWORD returned;
    WSAIoctl(connected, SIO_KEEPALIVE_VALS, &probes, sizeof probes, nullptr, 0, &returned, nullptr,
             nullptr);
    return connected;
}

// Waits until the socket is ready, the time-out (INFINITE: none) passes, or
// the process is asked to stop; returns 0 in the last two cases.
static int wait_ready(DWORD timeout_ms)
{
    HANDLE events[] = {readiness, console_stop_event()};
    if (serial_stop_requested())
        return 0;
    DWORD woken = WaitForMultipleObjects(2, events, FALSE, timeout_ms);
    WSANETWORKEVENTS happened;
    WSAEnumNetworkEvents(net_socket, readiness, &happened); // and unsets it
    return woken == WAIT_OBJECT_0;
}

static void release_socket()
{
    if (net_socket != INVALID_SOCKET)
        closesocket(net_socket);
    if (readiness != WSA_INVALID_EVENT)
        WSACloseEvent(readiness);
    net_socket = INVALID_SOCKET;
    readiness = WSA_INVALID_EVENT;
}

int net_win32_open(const char *port)
{
    static bool started = false;
    WSADATA winsock;
    if (!started)
        started = WSAStartup(MAKEWORD(2, 2), &winsock) == 0;
    kind = net_kind(port);
    lost = false;
    std::string reason;
    net_socket = net_connect(port, &reason);
    if (net_socket != INVALID_SOCKET) {
        readiness = WSACreateEvent();
        WSAEventSelect(net_socket, readiness, FD_READ | FD_WRITE | FD_CLOSE);
        if (kind == NET_RFC2217)
            reason = net_session_open(serial_clock_ms() + SESSION_LIMIT_MS);
    }
    if (reason.empty())
        return 1;
    fprintf(stderr, "Could not open serial port %s.\n  %s.\n", port, reason.c_str());
    release_socket();
    return 0;
}

void net_send(const std::string &bytes)
{
    const char *next = bytes.data();
    int left = static_cast<int>(bytes.size());
    while (left > 0 && !lost) {
        int sent = send(net_socket, next, left, 0);
        if (sent > 0) {
            next += sent;
            left -= sent;
        } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
            lost = true;
        } else if (serial_stop_requested() || !wait_ready(INFINITE)) {
            return; // what the socket did not take at once stays unsent
        }
    }
}

int net_receive(unsigned char *buffer, int capacity, long long deadline_ms)
{
    while (!lost && !serial_stop_requested()) {
        int got = recv(net_socket, reinterpret_cast<char *>(buffer), capacity, 0);
        if (got > 0)
            return got;
        if (got == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
            lost = true;
        } else {
            long long left = deadline_ms - serial_clock_ms();
            if (left <= 0 || !wait_ready(static_cast<DWORD>(left)))
                return 0;
        }
    }
    return -1;
}

void net_win32_write(const unsigned char *bytes, int count)
{
    net_send(kind == NET_RFC2217 ? telnet_escape(bytes, count)
                                 : std::string(reinterpret_cast<const char *>(bytes), count));
}

int net_win32_read(unsigned char *buffer, int capacity, int timeout_ms)
{
    long long deadline = serial_clock_ms() + timeout_ms;
    for (;;) {
        int got = net_receive(buffer, capacity, deadline);
        if (got <= 0)
            break;
        if (kind == NET_RAW)
            return got;
        got = net_take(buffer, got);
        if (got > 0)
            return got;
    }
    // Like a COM port that failed, a lost connection waits out the time-out.
    long long left = deadline - serial_clock_ms();
    if (lost && left > 0)
        WaitForSingleObject(console_stop_event(), static_cast<DWORD>(left));
    return 0;
}

int net_win32_has_input()
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(net_socket, &readable);
    timeval now = {0, 0};
    return lost || select(0, &readable, nullptr, nullptr, &now) > 0;
}

int net_win32_lost()
{
    return lost;
}

void net_win32_close()
{
    if (kind == NET_RFC2217 && !lost)
        net_session_close();
    release_socket();
}
