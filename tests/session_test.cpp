#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "port/texts.h"
#include "protocol/connection.h"
#include "session/lifecycle.h"
#include "support/raw_peer.h"
#include "support/test_peer.h"

namespace tovrin::testing {
namespace {

int ClosedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

TEST(Address, SplitsHostAndConvertsThePortLikeAtoi) {
  EXPECT_EQ(SplitAddress("10.0.0.1").port, DEFAULT_PORT);
  EXPECT_EQ(SplitAddress("10.0.0.1:2345").port, 2345);
  EXPECT_EQ(SplitAddress("10.0.0.1:2345").host, "10.0.0.1");
  EXPECT_EQ(SplitAddress("10.0.0.1:x").port, 0);
  EXPECT_EQ(SplitAddress("10.0.0.1: 12ab").port, 12);
  EXPECT_EQ(SplitAddress("10.0.0.1:70000").port, 70000);
  EXPECT_EQ(SplitAddress("10.0.0.1:99999999999").port, 2147483647);
  EXPECT_EQ(SplitAddress("a:1:2").host, "a");

  EXPECT_TRUE(ParseIpv4("10.1"));  // shortened forms stay valid
  EXPECT_TRUE(ParseIpv4("127.0.0.1"));
  EXPECT_FALSE(ParseIpv4("localhost"));
  EXPECT_FALSE(ParseIpv4("300.1.1.1"));
  EXPECT_FALSE(ParseIpv4("255.255.255.255"));
  EXPECT_FALSE(ParseIpv4(""));
}

TEST(Lifecycle, BadAddressesAndRefusedConnectsLeaveAFailedAttempt) {
  TestPeer peer;
  for (const std::string address : {"localhost", "300.1.1.1", "255.255.255.255"}) {
    peer.Connect(address);
    EXPECT_EQ(peer.port.chat_log().back(), text::kInvalidIp) << address;
    EXPECT_TRUE(peer.port.connect_enabled());
    EXPECT_TRUE(peer.port.disconnect_enabled());
    peer.Disconnect();
    EXPECT_EQ(peer.port.chat_log().back(), text::kDisconnected);
    EXPECT_EQ(peer.port.input_text(), address);  // the typed text comes back
    EXPECT_FALSE(peer.port.disconnect_enabled());
  }
  peer.Connect("127.0.0.1:" + std::to_string(ClosedPort()));
  EXPECT_EQ(peer.port.chat_log().back(), text::kConnectFailed);
  // A press in the failed state only raises a chat request.
  peer.Connect("127.0.0.1:1");
  EXPECT_EQ(peer.port.chat_log().back(), text::kConnectFailed);
  EXPECT_EQ(peer.session.chat_request.load(), 1);
  peer.Disconnect();
  EXPECT_EQ(peer.port.CountChatLine(text::kDisconnected), 4);
}

TEST(Lifecycle, SessionSocketsNoticeAVanishedPeerAndUnansweredConnectsGiveUp) {
  TestPeer a, b;
  ASSERT_TRUE(ConnectPair(a, b));
  for (TestPeer* peer : {&a, &b}) {
    int fd = -1;
    peer->port.RunOnUiThread([&] { fd = peer->session.peer_socket->fd(); });
    int value = 0;
    socklen_t length = sizeof value;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &value, &length), 0);
    EXPECT_EQ(value, 1);
    ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &value, &length), 0);
    EXPECT_GT(value, 0);
  }

  // A listener whose queue is full drops further connection requests unanswered.
  const int full = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(full, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(full, 0), 0);
  ASSERT_EQ(getsockname(full, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const int queued = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(queued, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  TestPeer c;
  c.session.connect_timeout_ms = 300;
  c.Connect("127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
  EXPECT_EQ(c.port.chat_log().back(), text::kConnectFailed);
  ::close(queued);
  ::close(full);
}

TEST(Lifecycle, ListeningCanBeCancelledAndAPortInUseIsReported) {
  TestPeer a;
  const int port = a.Listen();
  ASSERT_GT(port, 0);
  EXPECT_TRUE(a.port.HasChatLine("接続を待っています... (port 0)"));
  EXPECT_GE(a.port.watched_socket(), 0);
  EXPECT_FALSE(a.port.connect_enabled());

  // A second instance on the same port cannot listen and says so.
  TestPeer b;
  b.Connect(OwnAddress() + ":" + std::to_string(port));
  EXPECT_EQ(b.port.chat_log().back(), "待ち受けできません (port " + std::to_string(port) + ")");
  EXPECT_EQ(ListeningPort(b.session), -1);

  a.Disconnect();
  EXPECT_EQ(a.port.watched_socket(), -1);
  EXPECT_EQ(a.port.chat_log().back(), text::kDisconnected);
  // An accept notification after the listener is gone changes nothing but the log.
  a.Accept();
  EXPECT_EQ(a.port.chat_log().back(), text::kAcceptFailed);
  EXPECT_EQ(a.session.idle.load(), 1);
}

TEST(Session, ChatsBothWaysAndEndsOnBothSidesWithOnePairEach) {
  TestPeer a, b;
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(ConnectPair(a, b)) << round;
    EXPECT_EQ(a.port.connect_label(), text::kSend);
    EXPECT_EQ(b.port.input_text(), "");
    a.Chat("hello");
    b.Chat("こんにちは表ソ");
    EXPECT_TRUE(WaitFor([&] { return b.port.HasChatLine("recv > hello"); }));
    EXPECT_TRUE(WaitFor([&] { return a.port.HasChatLine("recv > こんにちは表ソ"); }));
    EXPECT_TRUE(a.port.HasChatLine("send > hello"));
    EXPECT_TRUE(WaitFor([&] { return a.port.input_text().empty(); }));

    // Either side's Disconnect ends the session on both.
    (round % 2 == 0 ? a : b).Disconnect();
    for (TestPeer* peer : {&a, &b}) {
      EXPECT_TRUE(WaitFor([&] { return peer->WorkersEnded(); }));
      EXPECT_EQ(peer->port.CountChatLine(text::kDisconnected), round + 1);
      EXPECT_EQ(peer->port.connect_label(), text::kConnect);
      EXPECT_FALSE(peer->port.disconnect_enabled());
      EXPECT_EQ(peer->port.tab(), 0);
    }
    // The field shows the address as typed before the session.
    EXPECT_EQ(b.port.input_text().rfind("127.0.0.1:", 0), 0u);
  }
}

TEST(Session, ClassicChatLinesAreCutWhereTheWireEnds) {
  TestPeer a, b;
  a.session.classic.store(true);
  ASSERT_TRUE(ConnectPair(a, b));
  // The kind of session is logged as the workers start; nothing more is logged after it.
  ASSERT_TRUE(WaitFor([&] { return a.port.HasChatLine(text::kClassicSession); }));
  std::string line(1023, 'x');
  a.Chat(line + "cut");
  EXPECT_TRUE(WaitFor([&] { return b.port.HasChatLine("recv > " + line); }));
  EXPECT_TRUE(a.port.HasChatLine("send > " + line));
  // An empty field sends and logs nothing.
  const std::size_t lines = a.port.chat_log().size();
  a.Chat("");
  EXPECT_TRUE(WaitFor([&] { return a.session.chat_request.load() == 0; }));
  EXPECT_EQ(a.port.chat_log().size(), lines);
}

TEST(Session, HostileFramesEndTheSessionOrAreShownSafely) {
  TestPeer a;
  const int port = a.Listen();
  {
    RawPeer raw;
    ASSERT_TRUE(raw.ConnectTo(port));
    a.Accept();
    ASSERT_TRUE(WaitFor([&] { return a.Connected(); }));
    // A chat text without its NUL, and a message of an unknown type with a payload.
    ASSERT_TRUE(raw.Send(MSG_CHAT, 0, 0, "no terminator"));
    ASSERT_TRUE(raw.Send(0x77, 0, 0, std::string(5000, 'z')));
    ASSERT_TRUE(raw.Send(MSG_NAME, 0, 0, std::string("peer\0tail", 9)));
    EXPECT_TRUE(WaitFor([&] { return a.port.HasChatLine("name > peer"); }));
    EXPECT_TRUE(a.port.HasChatLine("recv > no terminator"));
    // A length the receiver cannot hold ends the session.
    ASSERT_TRUE(raw.SendHeader(FrameHeader{MSG_CHAT, 0, 0, MAX_PAYLOAD + 1}));
    EXPECT_TRUE(raw.WaitForClose());
    EXPECT_TRUE(WaitFor([&] { return a.WorkersEnded(); }));
  }
  const int again = a.Listen();
  RawPeer raw;
  ASSERT_TRUE(raw.ConnectTo(again));
  a.Accept();
  ASSERT_TRUE(raw.SendHeader(FrameHeader{MSG_FILE_DATA, 0, 0, -5}));
  EXPECT_TRUE(raw.WaitForClose());
  EXPECT_TRUE(WaitFor([&] { return a.WorkersEnded(); }));
  EXPECT_EQ(a.port.CountChatLine(text::kDisconnected), 2);
}

std::vector<std::string> message_boxes;
void RecordMessageBox(const std::string& text, const std::string&) {
  message_boxes.push_back(text);
}

// A Disconnect and a quick Connect: the workers of the ended session cannot leave before the
// UI thread lets them (the test holds it), so the new session must wait for them instead of
// running without workers.
TEST(Session, AQuickReconnectWaitsForTheEndedSessionsWorkers) {
  SetMessageBoxHandler(RecordMessageBox);
  TestPeer a, b;
  ASSERT_TRUE(ConnectPair(a, b));
  a.port.RunOnUiThread([&] {
    a.Disconnect();
    ASSERT_TRUE(WaitFor([&] { return b.WorkersEnded(); }));
    // The new connection opens on threads of its own, which report back to the UI thread
    // too: the old workers and the new session's start meet there once it is let go.
    const int port = a.Listen();
    b.Connect("127.0.0.1:" + std::to_string(port));
    a.Accept();
  });
  ASSERT_TRUE(WaitFor([&] { return a.Connected() && b.Connected(); }));
  SetMessageBoxHandler(nullptr);
  EXPECT_EQ(message_boxes, std::vector<std::string>{});
  EXPECT_EQ(a.session.sessions_started.load(), 2);
  ASSERT_TRUE(WaitFor([&] {
    bool all = false;
    a.port.RunOnUiThread([&] {
      all = a.session.recv_thread.IsRunning() && a.session.send_thread.IsRunning() &&
            a.session.chat_thread.IsRunning();
    });
    return all;
  }));
  // All three workers serve the new session.
  WriteFile(a.dir.path() + "after.txt", "after");
  a.Drop({a.dir.path() + "after.txt"});
  a.Chat("again");
  EXPECT_TRUE(WaitFor([&] { return b.port.HasRecvLine(text::kReceiveDone); }));
  EXPECT_TRUE(WaitFor([&] { return b.port.HasChatLine("recv > again"); }));
  EXPECT_EQ(ReadFile(b.session.save_dir + "after.txt"), "after");
}

// Send pressed just as the session ends: the chat worker must not read the field, which
// holds the address again, and log it as a chat line.
TEST(Session, SendPressedAsTheSessionEndsSendsNothing) {
  TestPeer a, b;
  ASSERT_TRUE(ConnectPair(a, b));
  a.port.RunOnUiThread([&] {
    a.Chat("typed");
    // Time for the woken chat worker to reach the UI thread, which the test holds.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    a.Disconnect();
  });
  ASSERT_TRUE(WaitFor([&] { return a.WorkersEnded(); }));
  for (const std::string& line : a.port.chat_log())
    EXPECT_EQ(line.rfind("send > ", 0), std::string::npos) << line;
  EXPECT_EQ(a.session.chat_request.load(), 0);
}

TEST(Session, ALateTeardownOfAnEndedSessionLeavesTheNewAttemptAlone) {
  TestPeer a;
  a.Listen();
  const uint32_t old_attempt = a.session.attempt.load();
  a.Disconnect();
  const int port = a.Listen();
  Teardown(a.session, old_attempt);
  EXPECT_EQ(a.session.idle.load(), 0);
  EXPECT_EQ(ListeningPort(a.session), port);
  EXPECT_EQ(a.port.CountChatLine(text::kDisconnected), 1);
}

}  // namespace
}  // namespace tovrin::testing
