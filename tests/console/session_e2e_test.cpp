#include <gtest/gtest.h>

#include "console/cli_process.h"
#include "session/lifecycle.h"

namespace tovrin::testing {
namespace {

constexpr char kRuleLine[] = "chat: ----------------";
constexpr char kDisconnectedLine[] = "chat: 切断しました";

// The session ended exactly once: one disconnect pair, right after a rule line.
void ExpectOneDisconnectPair(CliProcess& cli) {
  const std::vector<std::string> lines = cli.Lines();
  int pairs = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != kDisconnectedLine) continue;
    ++pairs;
    ASSERT_GT(i, 0u);
    EXPECT_EQ(lines[i - 1], kRuleLine);
  }
  EXPECT_EQ(pairs, 1);
}

TEST(ConsoleSession, NoSessionEndsWithCodeOne) {
  ScratchDir dir;
  for (const std::string address : {"localhost", "300.1.1.1", "255.255.255.255:5000"}) {
    CliProcess cli({"--save-dir", dir.path().string(), "--connect", address});
    ASSERT_TRUE(cli.WaitExit()) << address;
    EXPECT_EQ(cli.exit_code(), 1) << address;
    EXPECT_EQ(cli.CountLine("chat: IPが不正です"), 1) << address;
    EXPECT_EQ(cli.Lines().front(), "chat: 保存先 [" + dir.path().string() + "/]");
  }

  // Nobody listens on a port that was free a moment ago: the connect is refused.
  const int port = PickFreePort();
  CliProcess refused({"--connect", PeerAddress(port), "--save-dir", dir.path().string()});
  ASSERT_TRUE(refused.WaitExit());
  EXPECT_EQ(refused.exit_code(), 1);
  EXPECT_EQ(refused.CountLine("chat: 接続失敗"), 1);
  EXPECT_EQ(refused.CountLine(kDisconnectedLine), 0);

  // A port someone else listens on cannot be listened on.
  const int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const int busy = ntohs(address.sin_port);
  CliProcess taken({"--listen", std::to_string(busy), "--save-dir", dir.path().string()});
  ASSERT_TRUE(taken.WaitExit());
  close(holder);
  EXPECT_EQ(taken.exit_code(), 1);
  EXPECT_EQ(taken.CountLine("chat: 待ち受けできません (port " + std::to_string(busy) + ")"), 1);
}

TEST(ConsoleSession, ChatBothWaysThenBothEndOnce) {
  ScratchDir dir;
  int port = 0;
  auto listener = StartListener({"--save-dir", dir / "l"}, port);
  ASSERT_NE(listener, nullptr);
  CliProcess connector({"--connect", PeerAddress(port), "--save-dir", dir / "c"});
  // Typed before the session exists: waits in the pipe until it can be sent.
  connector.WriteLine("early 表ソ");

  ASSERT_TRUE(connector.WaitForLine("chat: send > early 表ソ"));
  ASSERT_TRUE(listener->WaitForLine("chat: recv > early 表ソ"));
  listener->WriteLine("from the listener");
  listener->WriteLine("");
  listener->WriteLine("second line");
  ASSERT_TRUE(connector.WaitForLine("chat: recv > second line"));
  EXPECT_EQ(connector.CountLine("chat: recv > from the listener"), 1);
  // The listener's own output is read from its pipe on the side: wait for it, too.
  EXPECT_TRUE(listener->WaitForLine("chat: send > from the listener"));
  EXPECT_EQ(listener->CountLine("chat: send > "), 0);
  EXPECT_EQ(connector.CountLine("chat: 接続しました [127.0.0.2]"), 1);

  // The end of standard input only stops the chat; a terminate ends the session.
  connector.CloseStdin();
  connector.Signal(SIGTERM);
  ASSERT_TRUE(connector.WaitExit());
  ASSERT_TRUE(listener->WaitExit());
  EXPECT_EQ(connector.exit_code(), 0);
  EXPECT_EQ(listener->exit_code(), 0);
  ExpectOneDisconnectPair(connector);
  ExpectOneDisconnectPair(*listener);
}

// --connect connects even to the machine's own address. With --classic on one side both
// speak the classic wire: a chat line goes up to a NUL typed into it, and is cut where the
// classic text ends (1,023 cp932 bytes), not at 1,023 UTF-8 bytes.
TEST(ConsoleSession, ConnectToTheOwnAddressAndClassicLinesCutAsTheWireHoldsThem) {
  ScratchDir dir;
  int port = 0;
  auto listener = StartListener({"--save-dir", dir / "l"}, port);
  ASSERT_NE(listener, nullptr);
  CliProcess connector({"--connect", OwnAddress() + ":" + std::to_string(port), "--save-dir",
                        dir / "c", "--classic"});
  connector.WriteLine(std::string("before\0after", 12));
  std::string japanese;
  for (int i = 0; i < 600; ++i) japanese += "あ";
  connector.WriteLine(japanese);
  ASSERT_TRUE(listener->WaitForLine("chat: recv > before"));
  ASSERT_TRUE(listener->WaitForLine("chat: recv > " + japanese.substr(0, 511 * 3)));
  EXPECT_EQ(connector.CountLine("chat: send > " + japanese.substr(0, 511 * 3)), 1);
  EXPECT_TRUE(connector.WaitForLine("chat: 標準セッション (暗号化されていません)"));
  EXPECT_TRUE(listener->WaitForLine("chat: 標準セッション (暗号化されていません)"));
  connector.Signal(SIGTERM);
  ASSERT_TRUE(connector.WaitExit());
  EXPECT_EQ(connector.exit_code(), 0);
}

TEST(ConsoleSession, PeerVanishingEndsTheSession) {
  ScratchDir dir;
  int port = 0;
  auto listener = StartListener({"--save-dir", dir / "l"}, port);
  ASSERT_NE(listener, nullptr);
  {
    CliProcess connector({"--connect", PeerAddress(port), "--save-dir", dir / "c"});
    ASSERT_TRUE(listener->WaitForLine(kRuleLine));
    connector.Signal(SIGKILL);
    ASSERT_TRUE(connector.WaitExit());
  }
  ASSERT_TRUE(listener->WaitExit());
  EXPECT_EQ(listener->exit_code(), 0);
  ExpectOneDisconnectPair(*listener);
}

}  // namespace
}  // namespace tovrin::testing
