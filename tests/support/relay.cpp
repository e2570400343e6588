#include "support/relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "protocol/frame.h"

namespace tovrin::testing {

Relay::Relay(int target_port, Alter alter) : alter_(std::move(alter)) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      listen(listener_, 1) == 0 &&
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port_ = ntohs(address.sin_port);
  }
  thread_ = std::thread([this, target_port] { Run(target_port); });
}

Relay::~Relay() {
  ::shutdown(listener_, SHUT_RDWR);
  for (auto& side : sides_) {
    const int fd = side.load();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
  }
  thread_.join();
  ::close(listener_);
}

std::string Relay::Seen(Direction direction) {
  std::lock_guard<std::mutex> lock(seen_lock_);
  return seen_[direction];
}

void Relay::Run(int target_port) {
  const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return;
  const int target = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(target_port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sides_[kToTarget].store(client);
  sides_[kFromTarget].store(target);
  if (connect(target, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    std::thread back([&] { Pump(target, client, kFromTarget); });
    Pump(client, target, kToTarget);
    back.join();
  }
  sides_[kToTarget].store(-1);
  sides_[kFromTarget].store(-1);
  ::close(client);
  ::close(target);
}

void Relay::Pump(int from, int to, Direction direction) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    std::string piece(buffer, static_cast<size_t>(n));
    {
      std::lock_guard<std::mutex> lock(seen_lock_);
      seen_[direction] += piece;
    }
    if (alter_) alter_(direction, piece);
    if (!piece.empty() && ::send(to, piece.data(), piece.size(), MSG_NOSIGNAL) < 0) break;
  }
  // Either side ending ends both: the other pump's recv returns.
  ::shutdown(to, SHUT_RDWR);
  ::shutdown(from, SHUT_RDWR);
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
