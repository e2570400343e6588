#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tovrin {

// A batch of files the peer wants to send, put to the user before anything of it is written.
struct IncomingBatch final {
  uint64_t id = 0;   // the session's number for this question, for CloseBatchQuestion
  std::string peer;  // who sends it: the peer's installation name, or its address
  // False for a peer that cannot announce its batches (a classic peer): only the name of
  // its first file is known, in `names`, and the answer holds for the whole session.
  bool announced = true;
  uint64_t files = 0;
  uint64_t bytes = 0;
  std::vector<std::string> names;  // the batch's top-level names, as many as the peer gave
};

// Everything the logic does to the window. Texts are UTF-8.
//
// Every operation is carried out on the UI thread, in the order each calling thread issues
// them, and is synchronous for a worker: it returns once the UI thread has done it. The
// exceptions are the meter displays (SetSendProgress, SetRecvProgress, SetStatusText and the
// batch texts),
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

  // Asks the user whether to receive `batch` and returns at once; the port calls `answer`
  // (any thread; only the first call counts) when the user decides. Without an answer the
  // session declines by itself after its time limit. Either way the session then calls
  // CloseBatchQuestion. A port without a user declines at once.
  virtual void AskIncomingBatch(const IncomingBatch& /*batch*/,
                                const std::function<void(bool accept)>& answer) {
    answer(false);
  }
  // The question `id` is settled (answered, timed out, or its session ended): the port takes
  // its prompt and notification away.
  virtual void CloseBatchQuestion(uint64_t /*id*/) {}

  // News for a user who is away from the window: the peer's chat line, and the end of a
  // received batch (how many files arrived, the folder that holds them, ending in '/'). A
  // port without a desktop ignores them.
  virtual void NotifyChatLine(const std::string& /*text*/) {}
  virtual void NotifyBatchReceived(uint64_t /*files*/, const std::string& /*folder*/) {}

  // The running batch's progress in words ("12 / 2,000 files · 1.2 / 3.4 GB · 85 MB/s ·
  // 0:27"), empty when no batch runs; posted without waiting like the meter displays. A port
  // without room for it ignores it.
  virtual void SetSendBatchText(const std::string& /*text*/) {}
  virtual void SetRecvBatchText(const std::string& /*text*/) {}

  // UI thread: the window's title; while a session lasts it names the peer and how the
  // session is protected, otherwise it is the caption. A port without a title ignores it.
  virtual void SetTitle(const std::string& /*title*/) {}

  // Runs `task` on the UI thread and waits for it (directly when called on the UI thread).
  // False, without running it, once the window is gone. The send queue and the session
  // control run their steps through this, so they never race the UI thread.
  virtual bool RunOnUiThread(const std::function<void()>& task) = 0;
  // The same for a worker's routine step that changes nothing a front end's own loop looks
  // at (log lines, the send queue's entries): a port whose loop is woken after every step
  // (the console's) need not wake it for this one. Steps run inside it count as part of it.
  virtual bool RunRoutineOnUiThread(const std::function<void()>& task) {
    return RunOnUiThread(task);
  }

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
