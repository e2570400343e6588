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

  void Add(std::string line) { lines_.push_back({std::move(line), {}}); }
  // A receive-log line about one file, with the folder that holds it (AppendRecvFileLog).
  void AddFileLine(std::string line, std::string folder) {
    lines_.push_back({std::move(line), std::move(folder)});
  }

  // Shows the held lines (a routine step); also from inside a step the worker already runs on
  // the UI thread.
  void Show() {
    if (lines_.empty()) return;
    port_.RunRoutineOnUiThread([this] {
      for (const Line& line : lines_) {
        if (line.folder.empty()) {
          (port_.*append_)(line.text);
        } else {
          port_.AppendRecvFileLog(line.text, line.folder);
        }
      }
    });
    lines_.clear();
  }

 private:
  struct Line {
    std::string text;
    std::string folder;
  };

  WindowPort& port_;
  Append append_;
  std::vector<Line> lines_;
};

}  // namespace tovrin
