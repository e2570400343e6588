#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tovrin::testing {

// A man in the middle on loopback: takes one connection on a port of its own, connects it to
// `target_port` and copies the bytes both ways, through `alter` when one is given. It keeps
// every byte it saw, as a capture on the wire would.
class Relay final {
 public:
  enum Direction { kToTarget = 0, kFromTarget = 1 };
  // May change, drop or add bytes of each piece as it passes (any thread).
  using Alter = std::function<void(Direction, std::string& bytes)>;

  explicit Relay(int target_port, Alter alter = nullptr);
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  [[nodiscard]] int port() const { return port_; }
  [[nodiscard]] std::string Seen(Direction direction);

 private:
  void Run(int target_port);
  void Pump(int from, int to, Direction direction);

  Alter alter_;
  int listener_ = -1;
  int port_ = -1;
  std::atomic<int> sides_[2] = {-1, -1};
  std::mutex seen_lock_;
  std::string seen_[2];
  std::thread thread_;
};

// Drops the first message each side sends (its hello, header and payload), passing on
// everything after it.
Relay::Alter StripFirstMessages();

}  // namespace tovrin::testing
