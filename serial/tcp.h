// A TCP connection to a port server, the process's one: what socket://
// ports are, and what an RFC 2217 session runs over. tcp_common.cpp holds
// what is the same everywhere (the address, the connect loop); each
// platform's file the socket calls.
#ifndef DRAMLIFT_SERIAL_TCP_H
#define DRAMLIFT_SERIAL_TCP_H

#include <string>
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#endif

// Connects to HOST:PORT after the "scheme://" of the -p value, within the
// deadline in all (the name lookup included). Returns a STEP_ result; on
// failure *why says why.
int tcp_open(const char *port, long long deadline_ms, std::string *why);

// As a transport's receive and send.
int tcp_receive(unsigned char *buffer, int capacity, long long deadline_ms);
int tcp_send(const unsigned char *bytes, int count, long long deadline_ms);
int tcp_wait_input(int timeout_ms, bool watch_stdin);

// Closes the connection, if there is one.
void tcp_close();

// Splits a network port's HOST:PORT; returns 0 when it is not of that form.
int tcp_address(const char *port, std::string *host, std::string *service);

// From each platform's file, for the connect loop:

// Looks the host up, as getaddrinfo() does; returns 0 or the error, for
// tcp_resolve_error. It may block for long (a name server that does not
// answer): tcp_open runs it on a thread of its own, within its deadline.
int tcp_resolve(const std::string &host, const std::string &service, addrinfo **addresses);
std::string tcp_resolve_error(int error);
void tcp_free_addresses(addrinfo *addresses);

// Connects to one address within the deadline; once connected, that is the
// process's connection. Returns a STEP_ result, or the system's *error.
int tcp_connect_to(const addrinfo *address, long long deadline_ms, int *error);

// The system's words for a socket error, without a full stop.
std::string tcp_error_text(int error);

#endif
