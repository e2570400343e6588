#include "console/console_port.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "port/format.h"

namespace tovrin {
namespace {

// The status line is shown this often at most: it changes after every data chunk.
constexpr auto STATUS_INTERVAL = std::chrono::milliseconds(100);

// Back to the start of the line and erase it to its end.
constexpr char STATUS_CLEAR[] = "\r\x1b[K";

constexpr const char* PREFIXES[] = {"chat: ", "send: ", "recv: "};

}  // namespace

ConsolePort::ConsolePort(bool subfolders, std::FILE* log_out, std::FILE* status_out)
    : log_out_(log_out), status_out_(status_out), wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  SetSubfoldersChecked(subfolders);
}

ConsolePort::~ConsolePort() = default;

void ConsolePort::WriteLog(Log log, const std::string& text) {
  WriteLine(PREFIXES[static_cast<int>(log)], text);
}

void ConsolePort::ShowPairingCode(const std::string& code) {
  const UiLock ui(*this);
  if (open()) WriteLine("pair: ", code);
}

void ConsolePort::WriteLine(const char* prefix, const std::string& text) {
  // Standard error and standard output are usually the same terminal: a log line must not
  // be written into the middle of the status line. The status is shown again later.
  if (status_on_screen_) {
    ClearStatusLocked();
    status_pending_ = !status_text_.empty();
  }
  const std::string shown = EscapeControls(text);
  std::fputs(prefix, log_out_);
  std::fwrite(shown.data(), 1, shown.size(), log_out_);
  std::fputc('\n', log_out_);
  // The lines of one step (a worker's held lines, say) leave together as it ends.
  log_unflushed_ = true;
  if (!in_step()) FlushLogLocked();
}

void ConsolePort::FlushLogLocked() {
  if (!log_unflushed_) return;
  log_unflushed_ = false;
  std::fflush(log_out_);
}

void ConsolePort::StatusChanged(const std::string& text) {
  if (status_out_ == nullptr) return;
  status_text_ = text;
  status_pending_ = true;
  const auto now = std::chrono::steady_clock::now();
  if (now - status_printed_at_ >= STATUS_INTERVAL) PrintStatusLocked(now);
}

bool ConsolePort::WatchConnectSocket(int fd, int timeout_ms) {
  const UiLock ui(*this);
  if (!open()) return false;
  connecting_socket_ = fd;
  connect_deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  return true;
}

void ConsolePort::StepRan(bool routine) {
  FlushLogLocked();
  if (routine) return;
  const uint64_t one = 1;
  if (wake_fd_.valid() && write(wake_fd_.get(), &one, sizeof one) < 0) {
    // Already readable (the counter is full); the main loop wakes either way.
  }
}

void ConsolePort::DrainWake() {
  uint64_t count;
  if (wake_fd_.valid() && read(wake_fd_.get(), &count, sizeof count) < 0) {
    // Nothing was pending.
  }
}

void ConsolePort::FlushStatus() {
  const UiLock ui(*this);
  if (!open() || !status_pending_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - status_printed_at_ >= STATUS_INTERVAL) PrintStatusLocked(now);
}

void ConsolePort::Closing() {
  FlushLogLocked();
  ClearStatusLocked();
  connecting_socket_ = -1;
}

void ConsolePort::PrintStatusLocked(std::chrono::steady_clock::time_point now) {
  // Lines written before the status come before it on a shared terminal.
  FlushLogLocked();
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
