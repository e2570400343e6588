#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "net/descriptor.h"
#include "support/sockets.h"

namespace tovrin::testing {

// A man in the middle on loopback: takes one connection on a port of its own at 127.0.0.1,
// connects it to `target_port` and copies the bytes both ways, each way on a thread of its
// own, through `alter` when one is given. It keeps the first MAX_SEEN bytes each way, as a
// capture on the wire would.
class Relay final {
 public:
  enum Direction { kToTarget = 0, kFromTarget = 1 };
  // How one side's end reaches the other: kBoth ends both connections at once; kHalfClose
  // passes it on as a half-close, and the other way goes on until its own end.
  enum class Ending { kBoth, kHalfClose };
  // May change, drop or add bytes of each piece as it passes (any thread).
  using Alter = std::function<void(Direction, std::string& bytes)>;
  static constexpr size_t MAX_SEEN = 16u << 20;

  explicit Relay(int target_port, Alter alter = nullptr, Ending ending = Ending::kBoth);
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  [[nodiscard]] int port() const { return listener_.port(); }
  [[nodiscard]] std::string Seen(Direction direction);
  // Bytes passed on that way so far.
  [[nodiscard]] int64_t Passed(Direction direction) const { return passed_[direction].load(); }
  // Ends both connections at once, whatever the ending: with a reset, or an orderly close.
  void Cut(bool reset);

 private:
  void Run(int target_port);
  void Pump(int from, int to, Direction direction);

  const Alter alter_;
  const Ending ending_;
  Listener listener_;
  std::mutex mutex_;  // guards a_ and b_ against Cut
  std::atomic<bool> cut_{false};
  Descriptor a_, b_;  // the connecting side's connection, and the one to the target
  std::atomic<int64_t> passed_[2] = {0, 0};
  std::mutex seen_lock_;
  std::string seen_[2];
  std::thread thread_;
};

// Drops the first message each side sends (its hello, header and payload), passing on
// everything after it.
Relay::Alter StripFirstMessages();

}  // namespace tovrin::testing
