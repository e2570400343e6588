#include "support/test_peer.h"

#include "session/address.h"
#include "session/lifecycle.h"
#include "session/security_loader.h"
#include "transfer/connection.h"

namespace tovrin::testing {

TestPeer::TestPeer() : session(port, queue, dir.path() + "save/") {
  port.SetInputText(OwnAddress());
  session.idle.store(1);
  // Keys of its own, as an installation has: sessions between test peers are encrypted.
  LoadSecurity(session, config_dir());
}

std::string TestPeer::config_dir() const { return keys.path() + "config"; }

void TestPeer::Stop() {
  Disconnect();
  WaitFor([this] { return WorkersEnded(); }, std::chrono::seconds(30));
}

void TestPeer::Connect(const std::string& address) {
  port.RunOnUiThread([&] {
    port.SetInputText(address);
    OnConnect(session);
  });
}

int TestPeer::Listen() {
  Connect(OwnAddress() + ":0");
  const auto ui = port.LockUi();
  return ListeningPort(session);
}

void TestPeer::Accept() {
  port.RunOnUiThread([&] { OnSocketNotify(session, FD_ACCEPT); });
}

bool TestPeer::ConnectRaw(RawPeer& raw) {
  const bool connected = raw.ConnectTo(Listen());
  Accept();
  return connected;
}

void TestPeer::Disconnect() {
  port.RunOnUiThread([&] { Teardown(session); });
}

bool TestPeer::Connected() {
  const auto ui = port.LockUi();
  return session.peer_socket != nullptr && session.idle.load() == 0;
}

bool TestPeer::WorkersEnded() {
  // Under the UI lock: a worker empties its record in its last UI step, so once this holds
  // no worker touches the peer any more.
  const auto ui = port.LockUi();
  return !session.recv_thread.IsRunning() && !session.send_thread.IsRunning() &&
         !session.chat_thread.IsRunning();
}

bool ConnectPair(TestPeer& a, TestPeer& b) {
  const int listening = a.Listen();
  if (listening <= 0) return false;
  b.Connect("127.0.0.1:" + std::to_string(listening));
  a.Accept();
  return WaitFor([&] { return a.Connected() && b.Connected(); });
}

}  // namespace tovrin::testing
