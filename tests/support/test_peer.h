#pragma once

#include <string>
#include <vector>

#include "queue/send_queue.h"
#include "support/files.h"
#include "support/raw_peer.h"
#include "support/recording_port.h"
#include "transfer/session.h"

namespace tovrin::testing {

// One instance of the program in-process: a recording window, its send queue and session,
// with a temporary save directory. The test thread plays the UI thread.
class TestPeer final {
 public:
  TestPeer();
  ~TestPeer() { Stop(); }
  TestPeer(const TestPeer&) = delete;
  TestPeer& operator=(const TestPeer&) = delete;

  // Types `address` into the field and presses Connect.
  void Connect(const std::string& address);
  // Listens on a free port of its own address; returns the port.
  int Listen();
  // Delivers the accept notification the window would get.
  void Accept();
  // Listens, connects `raw` and accepts it; true when the connect succeeded.
  bool ConnectRaw(RawPeer& raw);
  void Disconnect();
  // Disconnects and waits for the workers to end.
  void Stop();
  // Types a chat line and presses Send.
  // Presses Send once the chat worker has finished the previous line: a press while it is
  // still sending would be taken as the same request.
  void Chat(const std::string& line) {
    WaitFor([this] { return session.chat_request.load() == 0; });
    Connect(line);
  }
  void Drop(const std::vector<std::string>& paths) { queue.AddDropped(paths); }

  bool Connected();
  // Where its key and its paired peers are kept.
  [[nodiscard]] std::string config_dir() const;
  // True once no worker of this peer runs.
  bool WorkersEnded();

  RecordingPort port;
  SendQueue queue{port};
  TempDir dir;
  TempDir keys;
  Session session;
};

// Connects `a` (listening) and `b` (connecting over 127.0.0.1); true when both run a session.
bool ConnectPair(TestPeer& a, TestPeer& b);

}  // namespace tovrin::testing
