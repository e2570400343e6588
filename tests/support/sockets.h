#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <string>

#include "net/descriptor.h"

namespace tovrin::testing {

// A new TCP socket bound to `address` on a port the system picks, which goes to `port`.
inline Descriptor BoundSocket(const std::string& address, int& port) {
  Descriptor fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in bound{AF_INET, 0, {inet_addr(address.c_str())}, {}};
  socklen_t length = sizeof bound;
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
      getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    std::abort();
  }
  port = ntohs(bound.sin_port);
  return fd;
}

// A loopback port nobody listens on: it was free a moment ago.
[[nodiscard]] inline int FreePort() {
  int port = -1;
  const Descriptor unused = BoundSocket("127.0.0.1", port);
  return port;
}

// A socket connected to `port` on `address`; invalid when the connect failed.
[[nodiscard]] inline Descriptor ConnectTo(int port, const std::string& address = "127.0.0.1") {
  Descriptor fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in target{
      AF_INET, htons(static_cast<uint16_t>(port)), {inet_addr(address.c_str())}, {}};
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
    fd.Reset();
  }
  return fd;
}

// A socket bound to `source` (a loopback address of 127.0.0.0/8) and connected to `port` on
// 127.0.0.1: a peer as the waiting side sees it from another address.
[[nodiscard]] inline Descriptor ConnectFrom(const std::string& source, int port) {
  int unused = -1;
  Descriptor fd = BoundSocket(source, unused);
  const sockaddr_in target{
      AF_INET, htons(static_cast<uint16_t>(port)), {inet_addr("127.0.0.1")}, {}};
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) fd.Reset();
  return fd;
}

// Two connected stream sockets of this process.
struct SocketPair {
  SocketPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    a.Reset(fds[0]);
    b.Reset(fds[1]);
  }
  Descriptor a, b;
};

// A listening TCP socket on a port the system picks. A full one has its backlog taken by a
// connection that is never accepted, so further connects get no answer.
class Listener final {
 public:
  explicit Listener(const std::string& address = "127.0.0.1", bool full = false)
      : fd_(BoundSocket(address, port_)) {
    if (listen(fd_.get(), full ? 0 : 1) != 0) std::abort();
    if (full) queued_ = ConnectTo(port_, address);
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  [[nodiscard]] int fd() const { return fd_.get(); }
  [[nodiscard]] int port() const { return port_; }
  // Refuses whatever is still queued.
  void Close() { fd_.Reset(); }

 private:
  int port_ = -1;  // set while fd_ is made
  Descriptor fd_;
  Descriptor queued_;
};

}  // namespace tovrin::testing
