#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "port/inline_port.h"

namespace tovrin::testing {

// Polls `ready` until it holds or `limit` passes; true when it held.
inline bool WaitFor(const std::function<bool()>& ready,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  for (const auto deadline = std::chrono::steady_clock::now() + limit; !ready();) {
    if (std::chrono::steady_clock::now() >= deadline) return ready();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// How often `line` occurs in `log`.
inline int CountLine(const std::vector<std::string>& log, const std::string& line) {
  return static_cast<int>(std::count(log.begin(), log.end(), line));
}

// The inline window port, recording every log line. Its "UI thread" is whichever thread
// holds its lock, so operations run inline and in order, as on a real window.
class RecordingPort final : public InlinePort {
 public:
  // Snapshots, under the lock.
  std::vector<std::string> chat_log() { return Snapshot(Log::kChat); }
  std::vector<std::string> send_log() { return Snapshot(Log::kSend); }
  std::vector<std::string> recv_log() { return Snapshot(Log::kRecv); }
  bool HasChatLine(const std::string& line) { return CountChatLine(line) > 0; }
  bool HasSendLine(const std::string& line) { return CountLine(send_log(), line) > 0; }
  bool HasRecvLine(const std::string& line) { return CountLine(recv_log(), line) > 0; }
  int CountChatLine(const std::string& line) { return CountLine(chat_log(), line); }
  // A chat line that goes on past `prefix`.
  bool HasChatLineAfter(const std::string& prefix) {
    const std::vector<std::string> log = chat_log();
    return std::any_of(log.begin(), log.end(), [&](const std::string& line) {
      return line.size() > prefix.size() && line.starts_with(prefix);
    });
  }

 private:
  void WriteLog(Log log, const std::string& text) override {
    logs_[static_cast<int>(log)].push_back(text);
  }
  std::vector<std::string> Snapshot(Log log) {
    const UiLock ui(*this);
    return logs_[static_cast<int>(log)];
  }

  std::vector<std::string> logs_[3];
};

}  // namespace tovrin::testing
