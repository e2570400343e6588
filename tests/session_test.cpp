// The session control, its workers' records, chat, and what the window is given to show: the
// transfer meter and the log lines.

#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <climits>
#include <thread>

#include "port/catalogue.h"
#include "port/format.h"
#include "port/texts.h"
#include "session/address.h"
#include "session/lifecycle.h"
#include "support/sockets.h"
#include "support/test_peer.h"
#include "transfer/connection.h"
#include "transfer/cthread.h"
#include "transfer/transfer_meter.h"

namespace tovrin::testing {
namespace {

TEST(Address, SplitsHostAndConvertsThePortLikeAtoi) {
  const std::pair<const char*, int> ports[] = {
      {"10.0.0.1", DEFAULT_PORT}, {"h:2345", 2345},          {"h:x", 0}, {"h: 12ab", 12},
      {"h:70000", 70000},         {"h:99999999999", INT_MAX}};
  for (const auto& [text, port] : ports) EXPECT_EQ(SplitAddress(text).port, port) << text;
  EXPECT_EQ(SplitAddress("a:1:2").host, "a");
  EXPECT_TRUE(ParseIpv4("10.1"));  // shortened forms stay valid
  EXPECT_FALSE(ParseIpv4(""));
}

// Attempts that make no session: a bad address, a refused or unanswered connect, a port in
// use. Each leaves a failed attempt, in which Connect only raises a chat request, until
// Disconnect ends it and gives the typed text back.
TEST(Lifecycle, AttemptsThatMakeNoSessionWaitForDisconnect) {
  TestPeer a, b;
  const int port = a.Listen();
  ASSERT_GT(port, 0);
  EXPECT_TRUE(a.port.HasChatLine("接続を待っています... (port 0)"));
  EXPECT_TRUE(a.port.watched_socket() >= 0 && !a.port.controls().connect_enabled);

  const Listener full("127.0.0.1", true);
  b.session.options.connect_timeout_ms = 300;
  const std::string in_use = OwnAddress() + ":" + std::to_string(port);
  const std::pair<std::string, std::string> attempts[] = {
      {"no such host", text::INVALID_IP},
      {"255.255.255.255", text::INVALID_IP},
      {"127.0.0.1:" + std::to_string(FreePort()), text::CONNECT_FAILED},
      {"127.0.0.1:" + std::to_string(full.port()), text::CONNECT_FAILED},
      {in_use, "待ち受けできません (port " + std::to_string(port) + ")"}};
  for (const auto& [address, line] : attempts) {
    b.Connect(address);
    b.Connect("127.0.0.1:1");
    EXPECT_EQ(b.port.chat_log().back(), line) << address;
    EXPECT_TRUE(b.session.chat_request.load() == 1 && ListeningPort(b.session) == -1);
    EXPECT_TRUE(b.port.controls().connect_enabled && b.port.controls().disconnect_enabled);
    b.Disconnect();
    EXPECT_EQ(b.port.chat_log().back(), text::DISCONNECTED);
    EXPECT_EQ(b.port.controls().input_text, address);
    EXPECT_FALSE(b.port.controls().disconnect_enabled);
  }
  EXPECT_EQ(b.port.CountChatLine(text::DISCONNECTED), 5);

  const uint32_t old_attempt = a.session.attempt.load();
  a.Disconnect();
  EXPECT_EQ(a.port.watched_socket(), -1);
  EXPECT_EQ(a.port.chat_log().back(), text::DISCONNECTED);
  // An accept notification after the listener is gone changes nothing but the log.
  a.Accept();
  EXPECT_EQ(a.port.chat_log().back(), text::ACCEPT_FAILED);
  EXPECT_EQ(a.session.idle.load(), 1);
  // A late teardown of the ended attempt leaves the new one alone.
  const int again = a.Listen();
  Teardown(a.session, old_attempt);
  EXPECT_EQ(a.session.idle.load(), 0);
  EXPECT_EQ(ListeningPort(a.session), again);
  EXPECT_EQ(a.port.CountChatLine(text::DISCONNECTED), 1);
}

// A host name is resolved off the UI thread and the attempt goes on with its address; text
// that cannot name a host is an invalid address at once.
TEST(Lifecycle, HostNamesAreResolvedAndConnectedTo) {
  for (const std::string name : {"localhost", "tovrin.local", "a-b_c.example.", "x"}) {
    EXPECT_TRUE(IsHostName(name)) << name;
  }
  for (const std::string& text :
       std::vector<std::string>{"", "10.0.0.1", "1.2.3", "a..b", ".a", "a b", "a/b", "é.local",
                                "login@host", std::string(254, 'a')}) {
    EXPECT_FALSE(IsHostName(text)) << text;
  }
  TestPeer a, b;
  const int port = a.Listen();
  ASSERT_GT(port, 0);
  b.Connect("localhost:" + std::to_string(port));
  ASSERT_TRUE(
      WaitFor([&] { return b.port.HasChatLine(FormatLine(text::CONNECTED, "127.0.0.1")); }));
  a.Accept();
  EXPECT_TRUE(WaitFor([&] { return a.Connected() && b.Connected(); }));
}

// A classic session (the extended chat is in extended_test.cpp).
TEST(Session, ChatsBothWaysAndEndsOnBothSidesWithOnePairEach) {
  TestPeer a, b;
  a.session.options.classic.store(true);
  std::string japanese;  // 0xFC 0x40 each, the last lead byte
  for (int i = 0; i < 600; ++i) japanese += "髜";
  // Typed, and sent and logged: up to a NUL, cut at 1,023 cp932 bytes on a character; chat is
  // no path, so ¥ goes as the byte Windows peers send for it, a character cp932 lacks as '?'.
  const std::pair<std::string, std::string> lines[] = {
      {std::string(1023, 'x') + "cut", std::string(1023, 'x')},
      {japanese, japanese.substr(0, 511 * 3)},
      {std::string("表ソ¥€\0after", 17), "表ソ\\?"}};
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(ConnectPair(a, b)) << round;
    EXPECT_EQ(a.port.controls().connect_label, text::SEND);
    // A peer that vanishes without a word is noticed.
    for (TestPeer* peer : {&a, &b}) {
      int fd = -1, keepalive = 0, user_timeout = 0;
      peer->port.RunOnUiThread([&] { fd = peer->session.peer_socket->fd(); });
      socklen_t length = sizeof(int);
      getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &keepalive, &length);
      getsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, &length);
      EXPECT_TRUE(keepalive == 1 && user_timeout > 0);
    }
    EXPECT_EQ(b.port.controls().input_text, "");
    a.Chat(lines[round].first);
    const std::string hello = "こんにちは " + std::to_string(round);
    b.Chat(hello);
    EXPECT_TRUE(WaitFor([&] { return b.port.HasChatLine("recv > " + lines[round].second); }));
    EXPECT_TRUE(WaitFor([&] { return a.port.HasChatLine("recv > " + hello); }));
    EXPECT_TRUE(a.port.HasChatLine("send > " + lines[round].second));
    EXPECT_TRUE(WaitFor([&] { return a.port.controls().input_text.empty(); }));
    // The kind of session is logged once as the workers start; an empty field sends and
    // logs nothing.
    EXPECT_TRUE(WaitFor([&] { return a.port.CountChatLine(text::CLASSIC_SESSION) == round + 1; }));
    const std::size_t logged = a.port.chat_log().size();
    a.Chat("");
    EXPECT_TRUE(WaitFor([&] { return a.session.chat_request.load() == 0; }));
    EXPECT_EQ(a.port.chat_log().size(), logged);

    // Either side's Disconnect ends the session on both.
    (round % 2 == 0 ? a : b).Disconnect();
    for (TestPeer* peer : {&a, &b}) {
      EXPECT_TRUE(WaitFor([&] { return peer->WorkersEnded(); }));
      EXPECT_EQ(peer->port.CountChatLine(text::DISCONNECTED), round + 1);
      const auto controls = peer->port.controls();
      EXPECT_TRUE(controls.connect_label == text::CONNECT && !controls.disconnect_enabled &&
                  controls.tab == 0);
    }
    // The field shows the address as typed before the session.
    EXPECT_EQ(b.port.controls().input_text.rfind("127.0.0.1:", 0), 0u);
  }
}

std::vector<std::string> boxes;  // "caption: text"
void RecordMessageBox(const std::string& text, const std::string& caption) {
  boxes.push_back(caption + ": " + text);
}

struct Held {
  CTHREAD* record;
  std::atomic<bool> release{false};
  std::atomic<bool> done{false};  // the worker's last touch of this object
};

uint32_t ExitAtOnce(void* parameter) {
  static_cast<CTHREAD*>(parameter)->Exit(0);
  return 0;
}

TEST(Cthread, ASecondStartIsRefusedWhileRunningAndCyclesLeaveNoThreadsBehind) {
  boxes.clear();
  SetMessageBoxHandler(&RecordMessageBox);
  CTHREAD record;
  Held held{&record};
  // Waits until the test releases it, then ends through its record as a worker does.
  ASSERT_TRUE(record.Start(
      +[](void* parameter) -> uint32_t {
        auto* held = static_cast<Held*>(parameter);
        while (!held->release.load()) std::this_thread::yield();
        held->record->Exit(0);
        held->done = true;
        return 0;
      },
      &held, 0, 0));
  EXPECT_FALSE(record.Start(&ExitAtOnce, &record, 0, 0));
  EXPECT_TRUE(record.IsRunning());  // the first worker is untouched
  held.release = true;
  ASSERT_TRUE(WaitFor([&] { return held.done.load(); }));
  EXPECT_FALSE(record.IsRunning());
  EXPECT_EQ(boxes, std::vector<std::string>{std::string(text::WARNING) + ": " +
                                            text::THREAD_EXISTS.get()});

  // The worker may exit before Start has returned: the record still comes out empty.
  const int before = CountEntries("/proc/self/task");
  for (int i = 0; i < 500; ++i) {
    ASSERT_TRUE(record.Start(&ExitAtOnce, &record, 0, 0)) << i;
    ASSERT_TRUE(WaitFor([&] { return !record.IsRunning(); })) << i;
  }
  SetMessageBoxHandler(nullptr);
  EXPECT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(WaitFor([&] { return CountEntries("/proc/self/task") <= before; }))
      << CountEntries("/proc/self/task") << " threads, " << before << " before";
}

// A Disconnect and a quick Connect: the workers of the ended session cannot leave before the
// UI thread lets them (the test holds it), so the new session must wait for them instead of
// running without workers.
TEST(Session, AQuickReconnectWaitsForTheEndedSessionsWorkers) {
  boxes.clear();
  SetMessageBoxHandler(&RecordMessageBox);
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
  EXPECT_EQ(boxes, std::vector<std::string>{});
  EXPECT_EQ(a.session.sessions_started.load(), 2);
  // All three workers serve the new session.
  WriteFile(a.dir.path() + "after.txt", "after");
  a.Drop({a.dir.path() + "after.txt"});
  a.Chat("again");
  EXPECT_TRUE(WaitFor([&] { return b.port.HasRecvLine(text::RECEIVE_DONE); }));
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
  for (const std::string& line : a.port.chat_log()) EXPECT_NE(line.rfind("send > ", 0), 0u) << line;
  EXPECT_EQ(a.session.chat_request.load(), 0);
}

uint32_t fake_now = 0;
uint32_t FakeClock() { return fake_now; }

TEST(TransferMeter, RateAndTimeLeftFollowTheFormulasAndTheBarStaysInRange) {
  RecordingPort port;
  SendQueue queue{port};
  Session session{port, queue, "save/"};
  TransferMeter recv{session, TransferMeter::Direction::kReceive, FakeClock};
  TransferMeter send{session, TransferMeter::Direction::kSend, FakeClock};
  fake_now = 5000;
  recv.BeginFile(1000000);
  fake_now = 7000;
  recv.Advance(65536);
  EXPECT_EQ(port.controls().recv_progress, 6);
  EXPECT_EQ(session.recv_rate.load(), 32);
  EXPECT_EQ(session.recv_eta.load(), 29);
  EXPECT_EQ(port.controls().status_text, "0K(0:00)/32K(0:29)");

  // Counted in the same millisecond: the elapsed time counts as 1.
  send.BeginFile(100);
  send.Advance(10);
  EXPECT_EQ(session.send_rate.load(), 10);
  // Slower than a byte per millisecond still shows 1.
  send.BeginFile(100);
  fake_now += 1000;
  send.Advance(1);
  EXPECT_EQ(session.send_rate.load(), 1);
  // Single-precision factor: 21,999,999 bytes at 1000 per ms show 22 s, not 21.
  send.BeginFile(22000999);
  fake_now += 1;
  send.Advance(1000);
  EXPECT_EQ(session.send_rate.load(), 1000);
  EXPECT_EQ(session.send_eta.load(), 22);
  send.Reset();
  EXPECT_EQ(port.controls().send_progress, 0);
  EXPECT_EQ(port.controls().status_text, "0K(0:00)/32K(0:29)");  // the other direction stays
  // The batch counts what a resumed file already held as done, its words follow the announced
  // totals, and its end empties them and clears the totals.
  session.batch.send_files_total = 2;
  session.batch.send_bytes_total = 3000;
  fake_now = 0;
  send.BeginFile(1000);
  send.ResumeFrom(400);
  fake_now = 1000;
  send.Advance(600);
  send.FileDone();
  EXPECT_EQ(port.batch_texts(true).back(), "1 / 2 ファイル · 1.0 / 3.0 kB · 1.0 kB/s · 0:02");
  send.BeginFile(2000);
  fake_now = 2000;
  send.Advance(2000);
  EXPECT_EQ(send.BatchSummary(), FormatBatchSummary(1, 3000, 2, 1300));
  send.Reset();
  EXPECT_EQ(port.batch_texts(true).back(), "");
  EXPECT_EQ(session.batch.send_files_total.load() + session.batch.send_bytes_total.load(), 0u);

  recv.BeginFile(100000);
  recv.SetPosition(39999);  // a resumed file counts its offset
  recv.Advance(32768);
  EXPECT_EQ(port.controls().recv_progress, 72);
  fake_now += 2000;
  recv.Advance(250000);  // more than offered: a full bar and nothing left to wait for
  EXPECT_EQ(port.controls().recv_progress, 100);
  EXPECT_EQ(session.recv_eta.load(), 0);
  // A zero-size file leaves the bar where it was.
  recv.BeginFile(0);
  recv.Advance(0);
  EXPECT_EQ(port.controls().recv_progress, 100);
  // Extended sessions carry 64-bit sizes: 3 GiB of 4 GiB is 75 %.
  recv.BeginFile(4LL << 30);
  recv.SetPosition(3LL << 30);
  recv.Advance(1);
  EXPECT_EQ(port.controls().recv_progress, 75);
  // A peer may seek anywhere: the ratio to a tiny total leaves every int behind, and the
  // position saturates instead of overflowing. The bar and the time left stay in range.
  recv.BeginFile(1);
  recv.SetPosition(INT64_MAX - 1);
  recv.Advance(32768);
  EXPECT_EQ(port.controls().recv_progress, 100);
  EXPECT_EQ(session.recv_eta.load(), 0);
  // An extended resume counts only the bytes moved in this session: 1,000 bytes in a
  // second after resuming at 90,000 is 1 K/s and 9 s left, not 91 K/s.
  recv.BeginFile(100000);
  recv.ResumeFrom(90000);
  fake_now += 1000;
  recv.Advance(1000);
  EXPECT_EQ(session.recv_rate.load(), 1);
  EXPECT_EQ(session.recv_eta.load(), 9);
}

TEST(FormatLine, BatchProgressInUnits) {
  std::string sizes;
  for (const uint64_t bytes : {0ULL, 999ULL, 1000ULL, 9949ULL, 9950ULL, 999499ULL, 999500ULL,
                               85000000ULL, 3400000000ULL, 2500000000000000ULL}) {
    sizes += FormatBytes(bytes) + "|";
  }
  EXPECT_EQ(sizes, "0 B|999 B|1.0 kB|9.9 kB|10 kB|999 kB|1.0 MB|85 MB|3.4 GB|2500 TB|");
  EXPECT_EQ(FormatCount(1234567) + " " + FormatDuration(3599) + " " + FormatDuration(3723),
            "1,234,567 59:59 1:02:03");
  const std::pair<BatchFigures, const char*> batches[] = {
      {{12, 2000, 1200000000, 3400000000, 85000000},
       "12 / 2,000 ファイル · 1.2 / 3.4 GB · 85 MB/s · 0:25"},
      {{12, 0, 1200000000, 0, 85000000}, "12 ファイル · 1.2 GB · 85 MB/s"},
      {{0, 3, 500000000, 3400000000, 0}, "0 / 3 ファイル · 500 MB / 3.4 GB"},
      {{3, 3, 3500, 3000, 1000}, "3 / 3 ファイル · 3.5 / 3.0 kB · 1.0 kB/s · 0:00"}};
  for (const auto& [figures, words] : batches) EXPECT_EQ(FormatBatchProgress(figures), words);
  EXPECT_EQ(FormatBatchSummary(2000, 3400000000, 40, 85000000),
            "2,000 個のファイル, 3.4 GB, 0:40, 85 MB/s");
  UseCatalogue(ENGLISH);
  EXPECT_EQ(FormatBatchSummary(2000, 3400000000, 40, 85000000),
            "2,000 files, 3.4 GB in 0:40 (85 MB/s)");
  UseCatalogue(JAPANESE);
}

TEST(FormatLine, CutsLongLinesAtACharacterBoundary) {
  std::string text;
  for (int i = 0; i < 1400; ++i) text += "表";  // three bytes each in UTF-8
  const std::string line = FormatLine("recv > %s", text.c_str());
  EXPECT_LE(line.size(), MAX_LOG_LINE);
  EXPECT_EQ(line, "recv > " + text.substr(0, line.size() - 7));
  EXPECT_EQ((line.size() - 7) % 3, 0u);
}

}  // namespace
}  // namespace tovrin::testing
