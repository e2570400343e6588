#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "net/descriptor.h"
#include "port/inline_port.h"

namespace tovrin {

// The window port of the console: the inline port, with log lines written to `log_out` as
// UTF-8 with the prefixes "chat: ", "send: " and "recv: ", flushed per line, control
// characters shown escaped so that every output line is exactly one log line. The status
// line goes to `status_out` (nullptr: not shown), rewritten in place and at most about ten
// times a second; SetStatusText runs after every data chunk, so it mostly only stores the
// text.
class ConsolePort final : public InlinePort {
 public:
  ConsolePort(bool subfolders, std::FILE* log_out, std::FILE* status_out);
  ~ConsolePort() override;
  ConsolePort(const ConsolePort&) = delete;
  ConsolePort& operator=(const ConsolePort&) = delete;

  // Readable after a step has run for a worker (a teardown, say): the main loop polls it
  // to notice such changes at once. Drain with DrainWake().
  [[nodiscard]] int wake_fd() const { return wake_fd_.get(); }
  void DrainWake();

  // The console watches a connecting socket from its main loop: it polls connecting_socket()
  // and reports it through OnSocketNotify once writable or at connect_deadline().
  bool WatchConnectSocket(int fd, int timeout_ms) override;
  // A line of its own, "pair: NNNNNN", for scripts to read.
  void ShowPairingCode(const std::string& code) override;
  // Main loop with the UI lock held: the socket of a connect under way, or -1.
  [[nodiscard]] int connecting_socket() const { return connecting_socket_; }
  [[nodiscard]] std::chrono::steady_clock::time_point connect_deadline() const {
    return connect_deadline_;
  }

  // Main loop: prints the latest status text if it has not been shown yet and the throttle
  // allows it.
  void FlushStatus();

 private:
  void WriteLog(Log log, const std::string& text) override;
  // One output line; the lock is held.
  void WriteLine(const char* prefix, const std::string& text);
  void StatusChanged(const std::string& text) override;
  void StepRan(bool routine) override;
  // Hands the log lines written so far to the system; the lock is held.
  void FlushLogLocked();
  // The status line is ended before the console goes quiet.
  void Closing() override;
  // The lock is held.
  void PrintStatusLocked(std::chrono::steady_clock::time_point now);
  void ClearStatusLocked();

  std::FILE* const log_out_;
  std::FILE* const status_out_;
  std::string status_text_;
  bool status_pending_ = false;  // status_text_ has not been printed yet
  bool status_on_screen_ = false;
  bool log_unflushed_ = false;  // lines written inside a step, flushed as it ends
  std::chrono::steady_clock::time_point status_printed_at_{};
  const Descriptor wake_fd_;
  int connecting_socket_ = -1;
  std::chrono::steady_clock::time_point connect_deadline_{};
};

}  // namespace tovrin
