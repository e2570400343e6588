#pragma once

#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "port/window_port.h"

namespace tovrin {

class MainWindow;

// The window port on the Qt main window.
//
// On the UI thread an operation runs directly. From a worker it is posted to the UI thread
// and the worker waits for it; the UI thread never waits for a worker. The meter displays
// (the bars, the status line and the batches' words) are posted without waiting and
// coalesced (the latest value wins), since a round trip per 32 KiB chunk would cap a
// transfer.
//
// Until Attach and after Shutdown every operation returns at once without effect and
// without touching Qt, on any thread; Shutdown also releases workers already waiting. The
// object must outlive every worker that may call it.
class QtWindowPort final : public WindowPort {
 public:
  QtWindowPort() = default;
  // UI thread; shuts down first.
  ~QtWindowPort() override;
  QtWindowPort(const QtWindowPort&) = delete;
  QtWindowPort& operator=(const QtWindowPort&) = delete;

  // UI thread: operations from now on act on `window`. `on_socket` runs on the UI thread
  // with FD_ACCEPT when the watched listening socket is readable, and with FD_CONNECT when
  // the watched connecting socket is writable or its time is up.
  void Attach(MainWindow* window, std::function<void(uint32_t)> on_socket);
  // UI thread: the window is going away or the event loop has ended. Idempotent.
  void Shutdown();
  // Worker calls posted and not yet carried out or abandoned (for tests).
  [[nodiscard]] int PendingCalls();

  void AppendChatLog(const std::string& text) override;
  void AppendSendLog(const std::string& text) override;
  void AppendRecvLog(const std::string& text) override;
  void AppendRecvFileLog(const std::string& text, const std::string& folder) override;
  void AskForAttention() override;
  void SetSendProgress(int percent) override;
  void SetRecvProgress(int percent) override;
  void SetStatusText(const std::string& text) override;
  void SetSendBatchText(const std::string& text) override;
  void SetRecvBatchText(const std::string& text) override;
  // The checkbox's current state, kept up to date on the UI thread: no round trip.
  [[nodiscard]] bool IsSubfoldersChecked() override;
  [[nodiscard]] std::string GetInputText() override;
  void SetInputText(const std::string& text) override;
  void SetConnectLabel(const std::string& text) override;
  void SetTitle(const std::string& title) override;
  void EnableConnect(bool enabled) override;
  void EnableDisconnect(bool enabled) override;
  void SelectTab(int index) override;
  void ShowPairingCode(const std::string& code) override;
  // Through the window's ask_pairing_code, which shows a modal dialog: the UI thread serves
  // other calls while the user types.
  [[nodiscard]] std::optional<std::string> AskPairingCode(const std::string& fingerprint) override;
  // A prompt of its own for each question, and a desktop notification while the window is
  // not active; declines at once once the window is gone.
  void AskIncomingBatch(const IncomingBatch& batch,
                        const std::function<void(bool)>& answer) override;
  void CloseBatchQuestion(uint64_t id) override;
  void NotifyChatLine(const std::string& text) override;
  void NotifyBatchReceived(uint64_t files, const std::string& folder) override;
  bool RunOnUiThread(const std::function<void()>& task) override;
  void WatchListenSocket(int fd) override;
  bool WatchConnectSocket(int fd, int timeout_ms) override;
  [[nodiscard]] bool IsUiThread() override { return OnUiThread(); }

 private:
  // One worker call waiting for the UI thread. The task lives on the worker's stack: it is
  // run only while the worker still waits (not abandoned).
  struct Call {
    const std::function<void()>* task;
    bool done = false;
    bool abandoned = false;
    std::atomic<bool> finished{false};
  };
  // The latest meter values not yet shown.
  struct Meters {
    int send_percent = 0;
    int recv_percent = 0;
    std::string status;
    std::string send_text;
    std::string recv_text;
    bool send_dirty = false;
    bool recv_dirty = false;
    bool status_dirty = false;
    bool send_text_dirty = false;
    bool recv_text_dirty = false;
    bool posted = false;
  };

  [[nodiscard]] bool OnUiThread() const { return std::this_thread::get_id() == ui_thread_; }
  // UI thread: carries out a posted call unless it was abandoned.
  void Execute(const std::shared_ptr<Call>& call);
  // Stores a meter value and shows it now (UI thread) or posts one update (worker).
  void PostMeter(const std::function<void(Meters&)>& store);
  void ApplyMeters();
  void StopWatching();
  void StopWatchingConnect();

  std::mutex mutex_;
  std::condition_variable finished_;
  // Guarded by mutex_; written on the UI thread only.
  bool open_ = false;
  std::thread::id ui_thread_ = std::this_thread::get_id();
  std::deque<std::shared_ptr<Call>> pending_;
  // The subfolder checkbox's state, kept by its toggled signal.
  bool subfolders_ = false;
  Meters meters_;
  // UI thread only, valid while open_.
  MainWindow* window_ = nullptr;
  QObject* receiver_ = nullptr;
  QPointer<QSocketNotifier> notifier_;
  QPointer<QSocketNotifier> connect_notifier_;
  QPointer<QTimer> connect_timer_;
  std::function<void(uint32_t)> on_socket_;
  QMetaObject::Connection window_gone_;
};

}  // namespace tovrin
