#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "port/inline_port.h"

namespace tovrin::testing {

// Polls `ready` until it holds or `limit` passes; true when it held.
bool WaitFor(const std::function<bool()>& ready,
             std::chrono::milliseconds limit = std::chrono::seconds(10));

// The inline window port, recording every log line. Its "UI thread" is whichever thread
// holds its lock, so operations run inline and in order, as on a real window.
class RecordingPort final : public InlinePort {
 public:
  // Snapshots, under the lock.
  std::vector<std::string> chat_log();
  std::vector<std::string> send_log();
  std::vector<std::string> recv_log();
  bool HasChatLine(const std::string& line);
  bool HasSendLine(const std::string& line);
  bool HasRecvLine(const std::string& line);
  int CountChatLine(const std::string& line);
  int send_progress() { return controls().send_progress; }
  int recv_progress() { return controls().recv_progress; }
  std::string status_text() { return controls().status_text; }
  std::string input_text() { return controls().input_text; }
  std::string connect_label() { return controls().connect_label; }
  bool connect_enabled() { return controls().connect_enabled; }
  bool disconnect_enabled() { return controls().disconnect_enabled; }
  int tab() { return controls().tab; }

 private:
  void WriteLog(Log log, const std::string& text) override;

  std::vector<std::string> logs_[3];
};

}  // namespace tovrin::testing
