#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "port/window_port.h"

namespace tovrin::testing {

// Polls `ready` until it holds or `limit` passes; true when it held.
bool WaitFor(const std::function<bool()>& ready,
             std::chrono::milliseconds limit = std::chrono::seconds(10));

// A window that records what the logic does to it. Its "UI thread" is whichever thread
// holds its (recursive) lock, so operations run inline and in order, as on a real window.
class RecordingPort final : public WindowPort {
 public:
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

  // Snapshots and settings for the test, all under the lock.
  std::vector<std::string> chat_log();
  std::vector<std::string> send_log();
  std::vector<std::string> recv_log();
  bool HasChatLine(const std::string& line);
  bool HasSendLine(const std::string& line);
  bool HasRecvLine(const std::string& line);
  int CountChatLine(const std::string& line);
  int send_progress();
  int recv_progress();
  std::string status_text();
  std::string input_text();
  std::string connect_label();
  bool connect_enabled();
  bool disconnect_enabled();
  int tab();
  int watched_socket();
  void SetSubfoldersChecked(bool checked);
  // After this, every operation is without effect, as once the window is gone.
  void Close();

 private:
  std::recursive_mutex mutex_;
  bool closed_ = false;
  std::vector<std::string> chat_log_, send_log_, recv_log_;
  int send_progress_ = 0, recv_progress_ = 0;
  std::string status_text_ = "送/受";
  std::string input_text_;
  std::string connect_label_ = "接続";
  bool connect_enabled_ = true, disconnect_enabled_ = false, subfolders_ = false;
  int tab_ = 0;
  int watched_socket_ = -1;
};

}  // namespace tovrin::testing
