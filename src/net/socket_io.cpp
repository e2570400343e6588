#include "net/socket_io.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace tovrin {

bool WaitReady(int socket, short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return false;
    // Rounded up: a wait never ends just short of the deadline only to poll again at once.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    pollfd entry{socket, events, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::min<decltype(ms)>(ms, INT_MAX)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

bool SendRaw(int socket, const void* bytes, std::size_t count) {
  const auto* data = static_cast<const char*>(bytes);
  std::size_t sent = 0;
  while (sent < count) {
    const ssize_t n = ::send(socket, data + sent, count - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace tovrin
