// What only the tovrin-cli process shows: its exit codes, its signals, its standard streams and
// its command-line flags at work.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "console/options.h"
#include "session/address.h"
#include "support/cli_process.h"
#include "support/files.h"

namespace tovrin::testing {
namespace {

constexpr char RULE_LINE[] = "chat: ----------------";
constexpr char DISCONNECTED_LINE[] = "chat: 切断しました";

// Both processes end with 0, their session ended exactly once: one disconnect pair each,
// right after a rule line.
void ExpectBothEndOnce(CliProcess& first, CliProcess& second) {
  for (CliProcess* cli : {&first, &second}) {
    ASSERT_TRUE(cli->WaitExit());
    EXPECT_EQ(cli->exit_code(), 0);
    const std::vector<std::string> lines = cli->Lines();
    int pairs = 0;
    for (size_t i = 1; i < lines.size(); ++i) {
      if (lines[i] != DISCONNECTED_LINE) continue;
      ++pairs;
      EXPECT_EQ(lines[i - 1], RULE_LINE);
    }
    EXPECT_EQ(pairs, 1);
  }
}

TEST(ConsoleProcess, UsageErrorsEndWithCodeTwoAndNoSessionWithCodeOne) {
  CliProcess usage({"--listen", "x"});
  ASSERT_TRUE(usage.WaitExit());
  EXPECT_EQ(usage.exit_code(), EXIT_USAGE);
  EXPECT_NE(usage.ErrorText().find("usage:"), std::string::npos) << usage.ErrorText();
  EXPECT_TRUE(usage.Lines().empty());
  CliProcess help({"--help"});
  ASSERT_TRUE(help.WaitExit());
  EXPECT_EQ(help.exit_code(), 0);
  EXPECT_EQ(help.Lines().at(0).rfind("usage:", 0), 0u);

  // A bad address and a refused connect (nobody listens on a port free a moment ago).
  const TempDir dir;
  for (const std::string& address : {std::string("300.1.1.1"), PeerAddress(FreePort())}) {
    CliProcess cli({"--save-dir", dir.path(), "--connect", address});
    ASSERT_TRUE(cli.WaitExit()) << address;
    EXPECT_EQ(cli.exit_code(), 1) << address;
    EXPECT_EQ(cli.Lines().at(0), "chat: 保存先 [" + dir.path() + "]");
    EXPECT_EQ(cli.CountLine(DISCONNECTED_LINE), 0) << address;
  }
}

// --connect connects even to the machine's own address, and --classic on one side makes both
// speak the classic wire. Lines typed before the session wait in the pipe; a line goes up to
// a NUL typed into it.
TEST(ConsoleProcess, ChatBothWaysThenATerminateEndsBothOnce) {
  const TempDir dir;
  int port = 0;
  auto listener = StartListener({"--save-dir", dir.path() + "l"}, port);
  ASSERT_NE(listener, nullptr);
  CliProcess connector({"--connect", OwnAddress() + ":" + std::to_string(port), "--save-dir",
                        dir.path() + "c", "--classic"});
  connector.WriteLine("early 表ソ");
  connector.WriteLine(std::string("before\0after", 12));
  ASSERT_TRUE(listener->WaitForLine("chat: recv > before"));
  EXPECT_EQ(listener->CountLine("chat: recv > early 表ソ"), 1);
  EXPECT_EQ(connector.CountLine("chat: 接続しました [" + OwnAddress() + "]"), 1);
  EXPECT_TRUE(connector.WaitForLine("chat: 標準セッション (暗号化されていません)"));
  EXPECT_TRUE(listener->WaitForLine("chat: 標準セッション (暗号化されていません)"));
  listener->WriteLine("from the listener");
  ASSERT_TRUE(connector.WaitForLine("chat: recv > from the listener"));

  // The end of standard input only stops the chat; a terminate ends the session, and the
  // peer's end ends the listener's.
  connector.CloseStdin();
  connector.Signal(SIGTERM);
  ExpectBothEndOnce(connector, *listener);
}

// --exit-after-batch ends both processes once the last path is done, also when it is a folder
// with nothing to send (which ends without a batch end). The sender speaks the classic wire
// here; the extended one exits after its batch in reliability_test.cpp. Paths sent into
// --subfolders are ConsoleRecording.ClassicSession...'s.
TEST(ConsoleProcess, ExitAfterBatchEndsBothOnceTheLastPathIsDone) {
  const TempDir dir;
  WriteFile(dir.path() + "src/送信 表/one.bin", "one");
  WriteFile(dir.path() + "src/dots/.only", "never sent");
  int port = 0;
  auto receiver = StartListener({"--save-dir", dir.path() + "recv"}, port);
  ASSERT_NE(receiver, nullptr);
  CliProcess sender({"--connect", PeerAddress(port), "--save-dir", dir.path() + "unused",
                     "--exit-after-batch", "--classic", dir.path() + "src/送信 表",
                     dir.path() + "src/dots"});
  ExpectBothEndOnce(sender, *receiver);
  EXPECT_EQ(ListTree(dir.path() + "recv"),
            (std::map<std::string, std::uintmax_t>{{"送信 表/one.bin", 3}}));
}

// --exit-after-batch exits 0 only when every queued file was delivered: a file the receiver
// refuses (a file stands where its folder would go) makes it exit 3 after a line that counts
// what was not delivered.
TEST(ConsoleProcess, ABatchNotDeliveredEndsWithItsCountAndCodeThree) {
  const TempDir dir;
  WriteFile(dir.path() + "src/ok.txt", "ok");
  WriteFile(dir.path() + "src/tree/a.txt", "a");
  WriteFile(dir.path() + "src/tree/b.txt", "b");
  WriteFile(dir.path() + "recv/tree", "in the way");
  int port = 0;
  auto receiver = StartListener({"--save-dir", dir.path() + "recv"}, port);
  ASSERT_NE(receiver, nullptr);
  CliProcess sender({"--connect", PeerAddress(port), "--save-dir", dir.path() + "unused",
                     "--exit-after-batch", dir.path() + "src/ok.txt", dir.path() + "src/tree"});
  ASSERT_TRUE(sender.WaitExit());
  ASSERT_TRUE(receiver->WaitExit());
  EXPECT_EQ(sender.exit_code(), EXIT_NOT_DELIVERED) << sender.Transcript();
  ASSERT_FALSE(sender.Lines().empty());
  EXPECT_EQ(sender.Lines().back(), "send: 2 個のファイルを送信できませんでした");
  EXPECT_EQ(receiver->exit_code(), 0);
  EXPECT_EQ(ReadFile(dir.path() + "recv/ok.txt"), "ok");
}

// A receiver declines a Tovrin peer's batch as a whole: with --accept none, and whatever the
// setting when the batch does not fit on the save folder's file system (a 4 MiB tmpfs in a
// mount namespace of the receiver's own, of which 1 MiB is kept free). Nothing is written,
// both logs say why, and the sender takes the batch off its queue and exits 3.
TEST(ConsoleProcess, DeclinedBatchesWriteNothingAndBothSidesSayWhy) {
  CliProcess bad({"--accept", "maybe"});
  ASSERT_TRUE(bad.WaitExit());
  EXPECT_EQ(bad.exit_code(), EXIT_USAGE);

  const TempDir dir;
  WriteFile(dir.path() + "small.txt", "abc");
  WriteFile(dir.path() + "large.bin", "");
  std::filesystem::resize_file(dir.path() + "large.bin", 10000000);
  const auto decline = [&](const std::vector<std::string>& args, const std::string& save,
                           const std::vector<std::string>& wrapper, const std::string& path,
                           const std::string& recv_line, const std::string& send_line) {
    int port = 0;
    auto receiver = StartListener(args, port, wrapper);
    ASSERT_NE(receiver, nullptr);
    CliProcess sender({"--connect", PeerAddress(port), "--save-dir", dir.path() + "unused",
                       "--exit-after-batch", dir.path() + path});
    ASSERT_TRUE(sender.WaitExit());
    ASSERT_TRUE(receiver->WaitExit());
    EXPECT_EQ(sender.exit_code(), EXIT_NOT_DELIVERED) << sender.Transcript();
    EXPECT_EQ(sender.CountLine(send_line), 1) << sender.Transcript();
    EXPECT_EQ(receiver->CountLine(recv_line), 1) << receiver->Transcript();
    EXPECT_EQ(receiver->CountLine("recv: 受信完了"), 0);
    EXPECT_TRUE(ListTree(save).empty());
  };
  const std::string none = "ファイルを受け取らない設定です";
  decline({"--save-dir", dir.path() + "recv", "--accept", "none"}, dir.path() + "recv", {},
          "small.txt", "recv: 受信を断りました (1 ファイル, 3 バイト): " + none,
          "send: 相手が受信を断りました: " + none + " (1 ファイルを送信リストから外しました)");

  const std::string mount = dir.path() + "tmpfs";
  std::filesystem::create_directories(mount);
  const std::vector<std::string> in_tmpfs = {
      "/usr/bin/unshare",
      "-m",
      "sh",
      "-c",
      "mount -t tmpfs -o size=4m tmpfs \"$0\" && exec \"$@\"",
      mount};
  if (std::system(
          ("/usr/bin/unshare -m mount -t tmpfs tmpfs '" + mount + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "no private mount namespace with a tmpfs here (needs root or CAP_SYS_ADMIN)";
  }
  const std::string room = "空き容量が足りません: 必要 10 MB, 空き 3 MB";
  decline({"--save-dir", mount + "/"}, mount, in_tmpfs, "large.bin",
          "recv: 受信を断りました (1 ファイル, 10000000 バイト): " + room,
          "send: 相手が受信を断りました: " + room + " (1 ファイルを送信リストから外しました)");

  // What the save folder already holds of a batch is not needed again: 2 MB arrive, and the
  // same 2 MB fit once more although less than that is free now.
  WriteFile(dir.path() + "two.bin", std::string(2000000, 'x'));
  int port = 0;
  auto receiver = StartListener({"--save-dir", mount + "/", "--keep-listening"}, port, in_tmpfs);
  ASSERT_NE(receiver, nullptr);
  const std::string waiting = "chat: 接続を待っています... (port " + std::to_string(port) + ")";
  for (int session = 1; session <= 3; ++session) {
    CliProcess sender({"--connect", PeerAddress(port), "--save-dir", dir.path() + "unused",
                       "--exit-after-batch", dir.path() + (session < 3 ? "two.bin" : "large.bin")});
    ASSERT_TRUE(sender.WaitExit());
    EXPECT_EQ(sender.exit_code(), session < 3 ? 0 : EXIT_NOT_DELIVERED) << sender.Transcript();
    ASSERT_TRUE(WaitFor([&] { return receiver->CountLine(waiting) == session + 1; }, PROCESS_LIMIT))
        << receiver->Transcript();
  }
  EXPECT_EQ(receiver->CountLine("recv: 受信完了"), 2);
  EXPECT_EQ(receiver->CountLine("recv: 受信を断りました (1 ファイル, 10000000 バイト): "
                                "空き容量が足りません: 必要 10 MB, 空き 1 MB"),
            1)
      << receiver->Transcript();
  receiver->CloseStdin();
  EXPECT_TRUE(receiver->WaitExit());
}

// --keep-listening waits again after each session: three connectors, one after another, each
// deliver a file to one listener, which then runs on until its standard input ends and exits
// 0, since it made sessions.
TEST(ConsoleProcess, KeepListeningServesOneSessionAfterAnotherUntilItsInputEnds) {
  const TempDir dir;
  int port = 0;
  auto receiver = StartListener({"--save-dir", dir.path() + "recv", "--keep-listening"}, port);
  ASSERT_NE(receiver, nullptr);
  const std::string waiting = "chat: 接続を待っています... (port " + std::to_string(port) + ")";
  for (int session = 1; session <= 3; ++session) {
    const std::string name = "file" + std::to_string(session) + ".txt";
    WriteFile(dir.path() + "src/" + name, name);
    CliProcess sender({"--connect", PeerAddress(port), "--save-dir", dir.path() + "unused",
                       "--exit-after-batch", dir.path() + "src/" + name});
    ASSERT_TRUE(sender.WaitExit());
    EXPECT_EQ(sender.exit_code(), 0) << sender.Transcript();
    ASSERT_TRUE(WaitFor([&] { return receiver->CountLine(waiting) == session + 1; }, PROCESS_LIMIT))
        << receiver->Transcript();
    EXPECT_EQ(ReadFile(dir.path() + "recv/" + name), name);
  }
  EXPECT_FALSE(receiver->Exited());
  receiver->CloseStdin();
  ASSERT_TRUE(receiver->WaitExit());
  EXPECT_EQ(receiver->exit_code(), 0) << receiver->Transcript();
  // Three sessions, and the wait that the end of input ended.
  EXPECT_EQ(receiver->CountLine(DISCONNECTED_LINE), 4);
}

}  // namespace
}  // namespace tovrin::testing
