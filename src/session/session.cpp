#include "session/session.h"

#include <utility>

namespace tovrin {

Session::Session(WindowPort& port, SendQueue& queue, std::string save_dir)
    : port(port), queue(queue), save_dir(std::move(save_dir)) {}

void Session::Notify() {
  { std::lock_guard<std::mutex> lock(wake_mutex_); }
  wake_.notify_all();
}

}  // namespace tovrin
