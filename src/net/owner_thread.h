#pragma once

#include <atomic>
#include <cassert>
#include <thread>

namespace tovrin {

// Asserts, in builds with assertions, that one thread alone calls what it guards: the first
// thread to call Check() after construction or HandOver() is the owner, and every later
// caller must be that thread. Without assertions (NDEBUG) Check() and HandOver() do nothing.
class OwnerThread final {
 public:
  void Check() {
#ifndef NDEBUG
    std::thread::id owner;
    const std::thread::id self = std::this_thread::get_id();
    if (!owner_.compare_exchange_strong(owner, self)) {
      assert(owner == self);
    }
#endif
  }
  // Ownership moves on: the next caller of Check() becomes the owner.
  void HandOver() {
#ifndef NDEBUG
    owner_.store(std::thread::id());
#endif
  }

 private:
  std::atomic<std::thread::id> owner_{};
};

}  // namespace tovrin
