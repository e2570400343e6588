#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "port/window_port.h"

namespace tovrin {

// The window port of the console. The console has no UI thread: one recursive mutex stands
// for it, and every operation (RunOnUiThread's task included) runs inline under that mutex,
// so operations of different threads never interleave and each runs in its caller's order.
// The main loop takes the same mutex (LockUi) whenever it acts as the UI thread.
//
// Log lines go to `log_out` as UTF-8 with the prefixes "chat: ", "send: " and "recv: ",
// flushed per line. The status line goes to `status_out` (nullptr: not shown), rewritten in
// place and at most about ten times a second; SetStatusText runs after every data chunk, so
// it only stores the text.
class ConsolePort final : public WindowPort {
 public:
  ConsolePort(bool subfolders, std::FILE* log_out, std::FILE* status_out);
  ~ConsolePort() override;
  ConsolePort(const ConsolePort&) = delete;
  ConsolePort& operator=(const ConsolePort&) = delete;

  void AppendChatLog(const std::string& text) override;
  void AppendSendLog(const std::string& text) override;
  void AppendRecvLog(const std::string& text) override;
  void SetSendProgress(int percent) override;
  void SetRecvProgress(int percent) override;
  void SetStatusText(const std::string& text) override;
  bool IsSubfoldersChecked() override;
  std::string GetInputText() override;
  void SetInputText(const std::string& text) override;
  void SetConnectLabel(const std::string& text) override;
  void EnableConnect(bool enabled) override;
  void EnableDisconnect(bool enabled) override;
  void SelectTab(int index) override;
  bool RunOnUiThread(const std::function<void()>& task) override;
  void WatchListenSocket(int fd) override;
  bool WatchConnectSocket(int fd, int timeout_ms) override;

  // Makes the calling thread the UI thread while the lock is held.
  [[nodiscard]] std::unique_lock<std::recursive_mutex> LockUi();

  // Readable after a step of the session control has run for a worker (a teardown, say):
  // the main loop polls it to notice such changes at once. Drain with DrainWake().
  [[nodiscard]] int wake_fd() const { return wake_fd_; }
  void DrainWake();

  // Any thread: the listening socket to poll for incoming connections, or -1.
  [[nodiscard]] int watched_socket() const { return watched_socket_.load(); }
  // UI thread (LockUi): the socket of a connect under way to poll for writability, or -1,
  // and when its time is up.
  [[nodiscard]] int connecting_socket() const { return connecting_socket_; }
  [[nodiscard]] std::chrono::steady_clock::time_point connect_deadline() const {
    return connect_deadline_;
  }

  // Main loop, any thread: prints the latest status text if it has not been shown yet and
  // the throttle allows it.
  void FlushStatus();

  // The console is gone: the status line is ended and every later operation returns at once
  // without effect, as once a window is gone.
  void Close();

 private:
  void WriteLogLine(const char* prefix, const std::string& text);
  // Caller holds mutex_.
  void PrintStatusLocked(std::chrono::steady_clock::time_point now);
  void ClearStatusLocked();

  std::recursive_mutex mutex_;
  bool closed_ = false;
  const bool subfolders_;
  std::FILE* const log_out_;
  std::FILE* const status_out_;

  std::string input_text_;
  int send_progress_ = 0;
  int recv_progress_ = 0;

  std::string status_text_;
  bool status_pending_ = false;  // status_text_ has not been printed yet
  bool status_on_screen_ = false;
  std::chrono::steady_clock::time_point status_printed_at_{};

  std::atomic<int> watched_socket_{-1};
  int connecting_socket_ = -1;
  std::chrono::steady_clock::time_point connect_deadline_{};
  const int wake_fd_;
};

}  // namespace tovrin
