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

#define TOVRIN_LOCKED(body)                           \
  std::lock_guard<std::recursive_mutex> lock(mutex_); \
  if (closed_) return;                                \
  body

void RecordingPort::AppendChatLog(const std::string& text) {
  TOVRIN_LOCKED(chat_log_.push_back(text);)
}
void RecordingPort::AppendSendLog(const std::string& text) {
  TOVRIN_LOCKED(send_log_.push_back(text);)
}
void RecordingPort::AppendRecvLog(const std::string& text) {
  TOVRIN_LOCKED(recv_log_.push_back(text);)
}
void RecordingPort::SetSendProgress(int percent) { TOVRIN_LOCKED(send_progress_ = percent;) }
void RecordingPort::SetRecvProgress(int percent) { TOVRIN_LOCKED(recv_progress_ = percent;) }
void RecordingPort::SetStatusText(const std::string& text) { TOVRIN_LOCKED(status_text_ = text;) }
void RecordingPort::SetInputText(const std::string& text) { TOVRIN_LOCKED(input_text_ = text;) }
void RecordingPort::SetConnectLabel(const std::string& text) {
  TOVRIN_LOCKED(connect_label_ = text;)
}
void RecordingPort::EnableConnect(bool enabled) { TOVRIN_LOCKED(connect_enabled_ = enabled;) }
void RecordingPort::EnableDisconnect(bool enabled) { TOVRIN_LOCKED(disconnect_enabled_ = enabled;) }
void RecordingPort::SelectTab(int index) { TOVRIN_LOCKED(tab_ = index;) }
void RecordingPort::WatchListenSocket(int fd) { TOVRIN_LOCKED(watched_socket_ = fd;) }

#undef TOVRIN_LOCKED

bool RecordingPort::IsSubfoldersChecked() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return !closed_ && subfolders_;
}

std::string RecordingPort::GetInputText() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return closed_ ? std::string() : input_text_;
}

bool RecordingPort::RunOnUiThread(const std::function<void()>& task) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (closed_) return false;
  task();
  return true;
}

std::vector<std::string> RecordingPort::chat_log() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return chat_log_;
}
std::vector<std::string> RecordingPort::send_log() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return send_log_;
}
std::vector<std::string> RecordingPort::recv_log() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return recv_log_;
}

static int CountIn(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

bool RecordingPort::HasChatLine(const std::string& line) { return CountChatLine(line) > 0; }
bool RecordingPort::HasSendLine(const std::string& line) { return CountIn(send_log(), line) > 0; }
bool RecordingPort::HasRecvLine(const std::string& line) { return CountIn(recv_log(), line) > 0; }
int RecordingPort::CountChatLine(const std::string& line) { return CountIn(chat_log(), line); }

#define TOVRIN_GETTER(type, name)                       \
  type RecordingPort::name() {                          \
    std::lock_guard<std::recursive_mutex> lock(mutex_); \
    return name##_;                                     \
  }
TOVRIN_GETTER(int, send_progress)
TOVRIN_GETTER(int, recv_progress)
TOVRIN_GETTER(std::string, status_text)
TOVRIN_GETTER(std::string, input_text)
TOVRIN_GETTER(std::string, connect_label)
TOVRIN_GETTER(bool, connect_enabled)
TOVRIN_GETTER(bool, disconnect_enabled)
TOVRIN_GETTER(int, tab)
TOVRIN_GETTER(int, watched_socket)
#undef TOVRIN_GETTER

void RecordingPort::SetSubfoldersChecked(bool checked) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  subfolders_ = checked;
}

void RecordingPort::Close() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  closed_ = true;
}

}  // namespace tovrin::testing
