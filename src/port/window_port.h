#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tovrin {

// Everything the logic does to the window. Texts are UTF-8.
//
// Every operation is carried out on the UI thread, in the order each calling thread issues
// them, and is synchronous for a worker: it returns once the UI thread has done it. The
// exceptions are the three meter displays (SetSendProgress, SetRecvProgress, SetStatusText),
// which are posted without waiting; of several pending values the latest wins. Once the
// window is gone every operation returns at once without effect (GetInputText yields "",
// IsSubfoldersChecked false, RunOnUiThread false). The UI thread never waits for a worker.
class WindowPort {
 public:
  virtual ~WindowPort() = default;

  virtual void AppendChatLog(const std::string& text) = 0;
  virtual void AppendSendLog(const std::string& text) = 0;
  virtual void AppendRecvLog(const std::string& text) = 0;
  // A receive-log line about one file, with the folder that holds it (ending in '/'): the
  // window lets the user open that folder from the line. A port with nothing to open shows
  // the line as AppendRecvLog does.
  virtual void AppendRecvFileLog(const std::string& text, const std::string& /*folder*/) {
    AppendRecvLog(text);
  }
  // After the peer's chat line or a received batch's end: a window in the background draws
  // the user's eye to it.
  virtual void AskForAttention() {}
  virtual void SetSendProgress(int percent) = 0;
  virtual void SetRecvProgress(int percent) = 0;
  virtual void SetStatusText(const std::string& text) = 0;
  [[nodiscard]] virtual bool IsSubfoldersChecked() = 0;
  [[nodiscard]] virtual std::string GetInputText() = 0;
  virtual void SetInputText(const std::string& text) = 0;
  virtual void SetConnectLabel(const std::string& text) = 0;
  virtual void EnableConnect(bool enabled) = 0;
  virtual void EnableDisconnect(bool enabled) = 0;
  // 0 chat log, 1 send list, 2 send log, 3 receive log.
  virtual void SelectTab(int index) = 0;
  // The waiting side's pairing code, for the user to pass on to the peer.
  virtual void ShowPairingCode(const std::string& code) = 0;
  // UI thread: asks the user for the code the peer shows, for the peer with this
  // fingerprint; empty when the user connects without one, nullopt when the user gave up the
  // connection. A port without a user answers empty.
  [[nodiscard]] virtual std::optional<std::string> AskPairingCode(
      const std::string& /*fingerprint*/) {
    return std::string();
  }

  // UI thread: the window's title; while a session lasts it names the peer and how the
  // session is protected, otherwise it is the caption. A port without a title ignores it.
  virtual void SetTitle(const std::string& /*title*/) {}

  // Runs `task` on the UI thread and waits for it (directly when called on the UI thread).
  // False, without running it, once the window is gone. The send queue and the session
  // control run their steps through this, so they never race the UI thread.
  virtual bool RunOnUiThread(const std::function<void()>& task) = 0;

  // True on the UI thread (for an inline port: while the caller holds it). Functions that
  // must run there check it in debug builds.
  [[nodiscard]] virtual bool IsUiThread() = 0;

  // UI thread: the listening socket whose incoming connections are to be reported through
  // OnSocketNotify, or -1 to stop watching (always called before that socket is closed).
  virtual void WatchListenSocket(int fd) = 0;

  // UI thread: the socket of a non-blocking connect under way, to be reported through
  // OnSocketNotify with FD_CONNECT once it is writable (connected or failed) or `timeout_ms`
  // have passed; -1 stops watching (always called before that socket is closed). True when
  // the port watches it; a port that cannot answers false and the connect is waited for on
  // the spot.
  virtual bool WatchConnectSocket(int /*fd*/, int /*timeout_ms*/) { return false; }
};

}  // namespace tovrin
