#include "net/socket_io.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <type_traits>

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

namespace {

// The one loop that moves a whole block, in either direction (a const block is sent, any other
// received): wait, then take what the socket gives or takes at once.
template <typename Byte>
IoEnd MoveAll(int socket, Byte* bytes, std::size_t count,
              std::chrono::steady_clock::time_point deadline) {
  constexpr bool SENDING = std::is_const_v<Byte>;
  while (count > 0) {
    if (!WaitReady(socket, SENDING ? POLLOUT : POLLIN, deadline)) return IoEnd::kWaitFailed;
    ssize_t n = 0;
    if constexpr (SENDING) {
      n = ::send(socket, bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
    } else {
      n = ::recv(socket, bytes, count, MSG_DONTWAIT);
    }
    if (n > 0) {
      bytes += n;
      count -= static_cast<std::size_t>(n);
    } else if (n == 0) {
      if (!SENDING) return IoEnd::kClosed;
    } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      return IoEnd::kFailed;
    }
  }
  return IoEnd::kDone;
}

}  // namespace

IoEnd SendAll(int socket, const void* bytes, std::size_t count,
              std::chrono::steady_clock::time_point deadline) {
  return MoveAll(socket, static_cast<const char*>(bytes), count, deadline);
}

IoEnd ReceiveAll(int socket, void* bytes, std::size_t count,
                 std::chrono::steady_clock::time_point deadline) {
  return MoveAll(socket, static_cast<char*>(bytes), count, deadline);
}

}  // namespace tovrin
