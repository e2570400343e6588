#include "support/recording_port.h"

#include <algorithm>
#include <thread>

namespace tovrin::testing {

bool WaitFor(const std::function<bool()>& ready, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!ready()) {
    if (std::chrono::steady_clock::now() >= deadline) return ready();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void RecordingPort::WriteLog(Log log, const std::string& text) {
  logs_[static_cast<int>(log)].push_back(text);
}

std::vector<std::string> RecordingPort::chat_log() {
  const UiLock ui(*this);
  return logs_[static_cast<int>(Log::kChat)];
}

std::vector<std::string> RecordingPort::send_log() {
  const UiLock ui(*this);
  return logs_[static_cast<int>(Log::kSend)];
}

std::vector<std::string> RecordingPort::recv_log() {
  const UiLock ui(*this);
  return logs_[static_cast<int>(Log::kRecv)];
}

static int CountIn(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

bool RecordingPort::HasChatLine(const std::string& line) { return CountChatLine(line) > 0; }
bool RecordingPort::HasSendLine(const std::string& line) { return CountIn(send_log(), line) > 0; }
bool RecordingPort::HasRecvLine(const std::string& line) { return CountIn(recv_log(), line) > 0; }
int RecordingPort::CountChatLine(const std::string& line) { return CountIn(chat_log(), line); }

}  // namespace tovrin::testing
