// The few TCP calls of the loopback test servers, over POSIX sockets or Winsock
// (loopback_socket_posix.cpp, loopback_socket_windows.cpp). A socket is an int here: Winsock's
// handles fit in one. Every call is thread-safe as the system's is.
#pragma once

#include <cstddef>

namespace zephyl::test::net {

// A TCP socket bound to 127.0.0.1 at a port the system picks, listening when listen is true,
// not inherited by child processes. -1 on failure; *port is the bound port.
int bindLoopback(bool listen, int* port);

// A TCP connection to 127.0.0.1:port, with Nagle's delay turned off, not inherited by child
// processes; -1 on failure.
int connectLoopback(int port);

// Waits up to timeoutMs for the socket to become readable (a connection to accept, bytes or the
// end of the stream): 1 readable, 0 time-out, -1 failure.
int waitReadable(int socket, int timeoutMs);

// A connection accepted on a listening socket, with Nagle's delay turned off; -1 on failure.
int acceptConnection(int socket);

// Up to size bytes received: the count, 0 at the end of the stream, -1 on failure.
long receiveSome(int socket, char* buffer, size_t size);

// Sends all of size bytes (never raising SIGPIPE); false when the connection fails.
bool sendAll(int socket, const char* data, size_t size);

// Ends both directions of the connection; the socket stays open.
void shutdownBoth(int socket);

void closeSocket(int socket);

}  // namespace zephyl::test::net
