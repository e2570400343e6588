#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "port/window_port.h"

namespace tovrin {

// A window port without an event loop: one recursive lock stands for the UI thread. Every
// operation, RunOnUiThread's task included, runs inline on the caller's thread while it
// holds the lock, so operations of different threads never interleave and each thread's run
// in its own order. A front end's main loop takes the same lock (LockUi) whenever it acts as
// the UI thread. The console, the tests and the fuzz target use it.
//
// After Close every operation returns at once without effect, as once a window is gone.
class InlinePort : public WindowPort {
 public:
  // What a window would show.
  struct Controls {
    std::string input_text;
    std::string connect_label;
    std::string status_text;
    int send_progress = 0;
    int recv_progress = 0;
    int tab = 0;
    bool connect_enabled = true;
    bool disconnect_enabled = false;
  };

  InlinePort();
  InlinePort(const InlinePort&) = delete;
  InlinePort& operator=(const InlinePort&) = delete;

  void AppendChatLog(const std::string& text) override;
  void AppendSendLog(const std::string& text) override;
  void AppendRecvLog(const std::string& text) override;
  void SetSendProgress(int percent) override;
  void SetRecvProgress(int percent) override;
  void SetStatusText(const std::string& text) override;
  [[nodiscard]] bool IsSubfoldersChecked() override;
  [[nodiscard]] std::string GetInputText() override;
  void SetInputText(const std::string& text) override;
  void SetConnectLabel(const std::string& text) override;
  void EnableConnect(bool enabled) override;
  void EnableDisconnect(bool enabled) override;
  void SelectTab(int index) override;
  // As a chat log line.
  void ShowPairingCode(const std::string& code) override;
  bool RunOnUiThread(const std::function<void()>& task) override;
  bool RunRoutineOnUiThread(const std::function<void()>& task) override;
  void WatchListenSocket(int fd) override;
  [[nodiscard]] bool IsUiThread() override;

  // Holds the UI thread for its owner's lifetime.
  class UiLock final {
   public:
    explicit UiLock(InlinePort& port);
    ~UiLock();
    UiLock(const UiLock&) = delete;
    UiLock& operator=(const UiLock&) = delete;

   private:
    InlinePort& port_;
  };
  [[nodiscard]] UiLock LockUi() { return UiLock(*this); }

  void SetSubfoldersChecked(bool checked);
  [[nodiscard]] Controls controls();
  // Any thread: the listening socket to watch for incoming connections, or -1.
  [[nodiscard]] int watched_socket() const { return watched_socket_.load(); }
  void Close();

 protected:
  enum class Log { kChat, kSend, kRecv };
  // The lock is held for each of these.
  virtual void WriteLog(Log log, const std::string& text) = 0;
  virtual void StatusChanged(const std::string& /*text*/) {}
  // A step has run, not inside another: `routine` as RunRoutineOnUiThread's (for a worker's
  // other steps a main loop may want to look again).
  virtual void StepRan(bool /*routine*/) {}
  // Close is about to take effect.
  virtual void Closing() {}

  // True, with the lock held by the caller's UiLock, while the port is open.
  [[nodiscard]] bool open() const { return !closed_; }
  // True, with the lock held, while a step runs (StepRan follows it).
  [[nodiscard]] bool in_step() const { return steps_ > 0; }

 private:
  // Runs a step; StepRan follows the outermost one.
  bool RunStep(const std::function<void()>& task, bool routine);

  std::recursive_mutex mutex_;
  // The thread holding mutex_; only that thread ever stores its own id here.
  std::atomic<std::thread::id> owner_{};
  int depth_ = 0;
  int steps_ = 0;              // steps running, one inside another
  bool routine_step_ = false;  // the outermost step running is a routine one
  bool closed_ = false;
  bool subfolders_ = false;
  Controls controls_;
  std::atomic<int> watched_socket_{-1};
};

}  // namespace tovrin
