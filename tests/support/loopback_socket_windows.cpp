#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>

#include "support/loopback_socket.h"

namespace zephyl::test::net {
namespace {

// Winsock is started once per process and left running until it ends.
bool started() {
  static const bool ok = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ok;
}

SOCKET asSocket(int socket) { return static_cast<SOCKET>(static_cast<unsigned>(socket)); }

}  // namespace

int bindLoopback(bool listen, int* port) {
  if (!started()) return -1;
  // WSA_FLAG_NO_HANDLE_INHERIT: child processes of a test do not inherit the socket.
  const SOCKET handle =
      WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (handle == INVALID_SOCKET) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  int length = sizeof address;
  if (bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      (listen && ::listen(handle, 64) != 0) ||
      getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closesocket(handle);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return static_cast<int>(handle);
}

int connectLoopback(int port) {
  if (!started()) return -1;
  const SOCKET handle =
      WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (handle == INVALID_SOCKET) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<u_short>(port));
  if (connect(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    closesocket(handle);
    return -1;
  }
  BOOL one = TRUE;
  setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  return static_cast<int>(handle);
}

int waitReadable(int socket, int timeoutMs) {
  WSAPOLLFD waiting{};
  waiting.fd = asSocket(socket);
  waiting.events = POLLRDNORM;
  const int ready = WSAPoll(&waiting, 1, timeoutMs);
  if (ready < 0) return -1;
  return ready > 0 ? 1 : 0;
}

int acceptConnection(int socket) {
  const SOCKET handle = accept(asSocket(socket), nullptr, nullptr);
  if (handle == INVALID_SOCKET) return -1;
  const BOOL one = TRUE;
  setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  return static_cast<int>(handle);
}

long receiveSome(int socket, char* buffer, size_t size) {
  const int want = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  const int received = recv(asSocket(socket), buffer, want, 0);
  return received == SOCKET_ERROR ? -1 : received;
}

bool sendAll(int socket, const char* data, size_t size) {
  while (size > 0) {
    const int want = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    const int sent = send(asSocket(socket), data, want, 0);
    if (sent == SOCKET_ERROR || sent == 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

void shutdownBoth(int socket) { shutdown(asSocket(socket), SD_BOTH); }

void closeSocket(int socket) { closesocket(asSocket(socket)); }

}  // namespace zephyl::test::net
