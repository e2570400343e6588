#include "console/console_port.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "port/format.h"
#include "port/texts.h"

namespace tovrin {
namespace {

// The status line is shown this often at most: it changes after every 32 KiB chunk.
constexpr auto STATUS_INTERVAL = std::chrono::milliseconds(100);

// Back to the start of the line and erase it to its end.
constexpr char STATUS_CLEAR[] = "\r\x1b[K";

}  // namespace

ConsolePort::ConsolePort(bool subfolders, std::FILE* log_out, std::FILE* status_out)
    : subfolders_(subfolders),
      log_out_(log_out),
      status_out_(status_out),
      wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

ConsolePort::~ConsolePort() {
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

#define TOVRIN_AS_UI(body)                            \
  std::lock_guard<std::recursive_mutex> lock(mutex_); \
  if (closed_) return;                                \
  body

void ConsolePort::AppendChatLog(const std::string& text) { WriteLogLine("chat: ", text); }
void ConsolePort::AppendSendLog(const std::string& text) { WriteLogLine("send: ", text); }
void ConsolePort::AppendRecvLog(const std::string& text) { WriteLogLine("recv: ", text); }
void ConsolePort::SetSendProgress(int percent) { TOVRIN_AS_UI(send_progress_ = percent;) }
void ConsolePort::SetRecvProgress(int percent) { TOVRIN_AS_UI(recv_progress_ = percent;) }
void ConsolePort::SetInputText(const std::string& text) { TOVRIN_AS_UI(input_text_ = text;) }
void ConsolePort::EnableConnect(bool) {}
void ConsolePort::EnableDisconnect(bool) {}
void ConsolePort::SelectTab(int) {}

void ConsolePort::WatchListenSocket(int fd) { TOVRIN_AS_UI(watched_socket_.store(fd);) }

#undef TOVRIN_AS_UI

bool ConsolePort::WatchConnectSocket(int fd, int timeout_ms) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (closed_) return false;
  connecting_socket_ = fd;
  connect_deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  return true;
}

void ConsolePort::SetConnectLabel(const std::string&) {}

void ConsolePort::SetStatusText(const std::string& text) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (closed_ || status_out_ == nullptr) return;
  status_text_ = text;
  status_pending_ = true;
  const auto now = std::chrono::steady_clock::now();
  if (now - status_printed_at_ >= STATUS_INTERVAL) PrintStatusLocked(now);
}

bool ConsolePort::IsSubfoldersChecked() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return !closed_ && subfolders_;
}

std::string ConsolePort::GetInputText() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return closed_ ? std::string() : input_text_;
}

bool ConsolePort::RunOnUiThread(const std::function<void()>& task) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (closed_) return false;
  task();
  const uint64_t one = 1;
  if (wake_fd_ >= 0 && write(wake_fd_, &one, sizeof one) < 0) {
    // Already readable (the counter is full); the main loop wakes either way.
  }
  return true;
}

void ConsolePort::DrainWake() {
  uint64_t count;
  if (wake_fd_ >= 0 && read(wake_fd_, &count, sizeof count) < 0) {
    // Nothing was pending.
  }
}

std::unique_lock<std::recursive_mutex> ConsolePort::LockUi() {
  return std::unique_lock<std::recursive_mutex>(mutex_);
}

void ConsolePort::FlushStatus() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (closed_ || !status_pending_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - status_printed_at_ >= STATUS_INTERVAL) PrintStatusLocked(now);
}

void ConsolePort::Close() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (closed_) return;
  ClearStatusLocked();
  closed_ = true;
  watched_socket_.store(-1);
  connecting_socket_ = -1;
}

void ConsolePort::WriteLogLine(const char* prefix, const std::string& text) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (closed_) return;
  // Standard error and standard output are usually the same terminal: a log line must not
  // be written into the middle of the status line. The status is shown again later.
  if (status_on_screen_) {
    ClearStatusLocked();
    status_pending_ = !status_text_.empty();
  }
  // One output line is exactly one log line, whatever the peer's text holds.
  const std::string shown = EscapeControls(text);
  std::fputs(prefix, log_out_);
  std::fwrite(shown.data(), 1, shown.size(), log_out_);
  std::fputc('\n', log_out_);
  std::fflush(log_out_);
}

void ConsolePort::PrintStatusLocked(std::chrono::steady_clock::time_point now) {
  std::fputs(STATUS_CLEAR, status_out_);
  std::fwrite(status_text_.data(), 1, status_text_.size(), status_out_);
  std::fflush(status_out_);
  status_printed_at_ = now;
  status_pending_ = false;
  status_on_screen_ = true;
}

void ConsolePort::ClearStatusLocked() {
  if (!status_on_screen_) return;
  std::fputs(STATUS_CLEAR, status_out_);
  std::fflush(status_out_);
  status_on_screen_ = false;
}

}  // namespace tovrin
