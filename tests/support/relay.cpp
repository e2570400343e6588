#include "support/relay.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>

#include "net/socket_io.h"
#include "protocol/frame.h"

namespace tovrin::testing {

Relay::Relay(int target_port, Alter alter, Ending ending)
    : alter_(std::move(alter)), ending_(ending) {
  thread_ = std::thread([this, target_port] { Run(target_port); });
}

Relay::~Relay() {
  Cut(false);
  thread_.join();
}

std::string Relay::Seen(Direction direction) {
  std::lock_guard<std::mutex> lock(seen_lock_);
  return seen_[direction];
}

void Relay::Cut(bool reset) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (cut_.exchange(true)) return;
  for (const Descriptor* fd : {&a_, &b_}) {
    const linger abort_on_close{1, 0};
    if (reset) setsockopt(fd->get(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof(linger));
    // Wakes the pumps; a reset sends nothing before the close.
    shutdown(fd->get(), reset ? SHUT_RD : SHUT_RDWR);
  }
}

void Relay::Run(int target_port) {
  pollfd waiting{listener_.fd(), POLLIN, 0};
  while (!cut_ && poll(&waiting, 1, 10) <= 0) {
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!cut_) a_.Reset(accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC));
    // One connection only; one still queued is refused with the listening socket.
    listener_.Close();
    if (a_.valid()) b_ = ConnectTo(target_port);
  }
  if (b_.valid()) {
    std::thread back([this] { Pump(b_.get(), a_.get(), kFromTarget); });
    Pump(a_.get(), b_.get(), kToTarget);
    back.join();
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  a_.Reset();
  b_.Reset();
}

void Relay::Pump(int from, int to, Direction direction) {
  char buffer[65536];
  for (ssize_t got; (got = recv(from, buffer, sizeof buffer, 0)) > 0;) {
    std::string piece(buffer, static_cast<size_t>(got));
    {
      std::lock_guard<std::mutex> lock(seen_lock_);
      std::string& seen = seen_[direction];
      seen.append(piece, 0, std::min(piece.size(), MAX_SEEN - seen.size()));
    }
    if (alter_) alter_(direction, piece);
    if (SendAll(to, piece.data(), piece.size(), std::chrono::steady_clock::time_point::max()) !=
        IoEnd::kDone) {
      break;
    }
    passed_[direction] += static_cast<int64_t>(piece.size());
  }
  if (ending_ == Ending::kBoth) {
    // The other pump's recv returns too.
    shutdown(to, SHUT_RDWR);
    shutdown(from, SHUT_RDWR);
  } else if (!cut_) {
    shutdown(to, SHUT_WR);
  }
}

Relay::Alter StripFirstMessages() {
  struct State {
    std::mutex lock;
    std::string pending[2];
    bool done[2] = {false, false};
  };
  auto state = std::make_shared<State>();
  return [state](Relay::Direction direction, std::string& bytes) {
    std::lock_guard<std::mutex> lock(state->lock);
    if (state->done[direction]) return;
    std::string& pending = state->pending[direction];
    pending += bytes;
    bytes.clear();
    if (pending.size() < HEADER_SIZE) return;
    std::string header = pending.substr(0, HEADER_SIZE);
    Complement(header.data(), HEADER_SIZE);
    const size_t size = HEADER_SIZE + static_cast<size_t>(LoadHeader(header.data()).length);
    if (pending.size() < size) return;
    bytes = pending.substr(size);
    state->done[direction] = true;
  };
}

}  // namespace tovrin::testing
