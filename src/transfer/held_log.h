#pragma once

#include <string>
#include <utility>
#include <vector>

#include "port/window_port.h"

namespace tovrin {

// Log lines a worker holds and shows later, together and in order, in one step on the UI
// thread: a file of a large batch then costs no round trip of its own. The worker's thread
// only.
class HeldLog final {
 public:
  using Append = void (WindowPort::*)(const std::string&);

  HeldLog(WindowPort& port, Append append) : port_(port), append_(append) {}

  void Add(std::string line) { lines_.push_back(std::move(line)); }

  // Shows the held lines; also from inside a step the worker already runs on the UI thread.
  void Show() {
    if (lines_.empty()) return;
    port_.RunOnUiThread([this] {
      for (const std::string& line : lines_) (port_.*append_)(line);
    });
    lines_.clear();
  }

 private:
  WindowPort& port_;
  Append append_;
  std::vector<std::string> lines_;
};

}  // namespace tovrin
