// The console front end in-process: its port's output and its command line.

#include <gtest/gtest.h>
#include <poll.h>

#include <cstdio>
#include <memory>

#include "console/console_port.h"
#include "console/nearby_commands.h"
#include "console/options.h"
#include "protocol/extended.h"
#include "support/files.h"

namespace tovrin {
namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

std::string Contents(std::FILE* file) {
  std::fflush(file);
  return testing::ReadFile("/proc/self/fd/" + std::to_string(fileno(file)));
}

TEST(ConsolePort, LogLinesArePrefixedAndNeverSplitTheStatusLine) {
  // Standard output and standard error on one terminal.
  File log(std::tmpfile(), std::fclose);
  ConsolePort port(false, log.get(), log.get());
  port.AppendChatLog("recv > 表ソ");
  port.SetStatusText("送 1K");
  port.AppendSendLog("送信完了");
  port.AppendRecvLog("");
  // The status line is erased before a log line is written after it on the same stream.
  EXPECT_EQ(Contents(log.get()),
            "chat: recv > 表ソ\n\r\x1b[K送 1K\r\x1b[Ksend: 送信完了\nrecv: \n");
}

TEST(ConsolePort, EscapesControlsAndGoesQuietOnceClosed) {
  File log(std::tmpfile(), std::fclose);
  ConsolePort port(true, log.get(), nullptr);
  // A peer's text can neither forge a second log line nor drive the terminal.
  port.AppendChatLog("recv > x\nsend: 送信完了\x1b[2J\t\x7f\u009b");
  // Nor reorder a name or a line: bidirectional marks and line separators are shown too,
  // while other characters of those blocks (a dash, an ellipsis) stay as they are.
  port.AppendRecvLog("受信中 [rlo_\u202Etxt.exe] (5 bytes)");
  port.AppendChatLog("recv > \u200E\u200F\u202A\u202D\u2066\u2069\u061C\u2028\u2029–…");
  const std::string escaped =
      "chat: recv > x\\x0Asend: 送信完了\\x1B[2J\\x09\\x7F\\x9B\n"
      "recv: 受信中 [rlo_\\x202Etxt.exe] (5 bytes)\n"
      "chat: recv > \\x200E\\x200F\\x202A\\x202D\\x2066\\x2069\\x061C\\x2028\\x2029–…\n";
  EXPECT_EQ(Contents(log.get()), escaped);

  port.SetInputText("line");
  port.WatchListenSocket(7);
  port.Close();
  bool ran = false;
  EXPECT_FALSE(port.RunOnUiThread([&] { ran = true; }) || ran);
  port.AppendChatLog("after the end");
  EXPECT_FALSE(port.IsSubfoldersChecked() || !port.GetInputText().empty());
  EXPECT_EQ(port.watched_socket(), -1);
  EXPECT_EQ(Contents(log.get()), escaped);
}

// A worker's routine step (held lines, the next queue entry) leaves its lines at once but
// does not wake the main loop; any other step, also one holding a routine step, wakes it.
TEST(ConsolePort, RoutineStepsShowTheirLinesWithoutWakingTheMainLoop) {
  File log(std::tmpfile(), std::fclose);
  ConsolePort port(false, log.get(), nullptr);
  const auto woken = [&] {
    pollfd wake{port.wake_fd(), POLLIN, 0};
    const bool readable = poll(&wake, 1, 0) == 1;
    port.DrainWake();
    return readable;
  };
  const auto written = [&] {
    return testing::ReadFile("/proc/self/fd/" + std::to_string(fileno(log.get())));
  };
  port.RunRoutineOnUiThread([&] {
    port.AppendSendLog("a");
    port.RunOnUiThread([&] { port.AppendSendLog("b"); });
  });
  EXPECT_FALSE(woken());
  EXPECT_EQ(written(), "send: a\nsend: b\n");
  port.RunOnUiThread([&] { port.RunRoutineOnUiThread([] {}); });
  EXPECT_TRUE(woken());
}

TEST(ConsoleOptions, FlagsPathsAndTheAddressField) {
  ConsoleOptions options;
  std::string error;
  ASSERT_TRUE(
      ParseConsoleOptions({"--save-dir=\"/x y\"", "--subfolders", "--exit-after-batch", "--listen",
                           "08080", "a/b/", "../c", "/x//y/", ".", "--", "-z", "--listen"},
                          "/base/dir", options, error))
      << error;
  EXPECT_EQ(options.save_dir_text, "\"/x y\"");  // ResolveSaveDir's to judge
  EXPECT_TRUE(options.subfolders);
  EXPECT_TRUE(options.exit_after_batch);
  EXPECT_EQ(AddressFieldText(options, "10.0.0.5"), "10.0.0.5:8080");
  EXPECT_EQ(options.paths,
            (std::vector<std::string>{"/base/dir/a/b", "/base/c", "/x/y", "/base/dir",
                                      "/base/dir/-z", "/base/dir/--listen"}));

  // The address field's text: the session control judges it, not the parser.
  ASSERT_TRUE(ParseConsoleOptions({"--address=10.0.0.5:9"}, "/", options, error)) << error;
  EXPECT_EQ(AddressFieldText(options, "10.0.0.5"), "10.0.0.5:9");
  ASSERT_TRUE(ParseConsoleOptions({}, "/", options, error)) << error;
  EXPECT_EQ(AddressFieldText(options, "10.0.0.5"), "10.0.0.5");
  EXPECT_FALSE(options.subfolders || options.exit_after_batch || !options.paths.empty());

  // The name goes to peers as given: one they would see otherwise is refused.
  ASSERT_TRUE(ParseConsoleOptions({"--name=まり@desk"}, "/", options, error)) << error;
  EXPECT_EQ(options.name, "まり@desk");
  const std::string too_long(MAX_INSTALLATION_NAME + 1, 'x');
  for (const std::string name : {"", "a\x1b[2Jb", "\xff", "a\u202Eb", too_long.c_str()}) {
    EXPECT_FALSE(ParseConsoleOptions({"--name", name}, "/", options, error)) << name;
  }
  EXPECT_TRUE(ParseConsoleOptions({"--name", too_long.substr(1)}, "/", options, error));

  // Command lines with their arguments separated by '|'.
  for (const std::string line :
       {"--frob", "-x", "--listen", "--listen|0", "--listen|65536", "--listen|12x", "--listen|-5",
        "--listen|1|--connect|1.2.3.4", "--connect|1.2.3.4|--address|1.2.3.4", "--connect|",
        "--save-dir", "--save-dir|a|--save-dir|b", "--subfolders=yes", "dir|"}) {
    std::vector<std::string> args;
    for (size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
      end = line.find('|', start);
      args.push_back(line.substr(start, end - start));
    }
    error.clear();
    EXPECT_FALSE(ParseConsoleOptions(args, "/", options, error)) << line;
    EXPECT_FALSE(error.empty()) << line;
  }
}

// --connect's text, tried as an address, a fingerprint, then a name (nearby, else a host);
// --peers takes its seconds inline or as a following number, else browses the default time.
TEST(ConsoleOptions, ConnectTargetsAndNearbyOptions) {
  using Kind = ConnectTarget::Kind;
  const std::tuple<std::string, Kind, std::string, std::optional<std::string>> cases[] = {
      {"10.0.0.1", Kind::kAddress, "10.0.0.1", std::nullopt},
      {"10.1:99", Kind::kAddress, "10.1", "99"},
      {"ABCD-EFGH-2345-WXYZ", Kind::kFingerprint, "ABCD-EFGH-2345-WXYZ", std::nullopt},
      {"abcd-efgh-2345-wxyz:7", Kind::kFingerprint, "abcd-efgh-2345-wxyz", "7"},
      {"ABCD-EFGH-2345-WXY1", Kind::kName, "ABCD-EFGH-2345-WXY1", std::nullopt},
      {"ABCDEFGH2345WXYZ", Kind::kName, "ABCDEFGH2345WXYZ", std::nullopt},
      {"login@host", Kind::kName, "login@host", std::nullopt},
      {"peer.local:10001", Kind::kName, "peer.local", "10001"},
      {"255.255.255.255", Kind::kName, "255.255.255.255", std::nullopt}};
  for (const auto& [text, kind, host, port] : cases) {
    const ConnectTarget target = ClassifyConnect(text);
    EXPECT_EQ(target.kind, kind) << text;
    EXPECT_EQ(target.host, host) << text;
    EXPECT_EQ(target.port, port) << text;
  }

  ConsoleOptions options;
  std::string error;
  ASSERT_TRUE(ParseConsoleOptions({"--peers", "--no-announce", "5"}, "/", options, error)) << error;
  EXPECT_EQ(options.peers_seconds, PEERS_DEFAULT_SECONDS);
  EXPECT_TRUE(options.no_announce);
  EXPECT_EQ(options.paths, std::vector<std::string>{"/5"});
  ASSERT_TRUE(ParseConsoleOptions({"--peers", "7"}, "/", options, error)) << error;
  EXPECT_EQ(options.peers_seconds, 7);
  ASSERT_TRUE(ParseConsoleOptions({"--peers=1"}, "/", options, error)) << error;
  EXPECT_EQ(options.peers_seconds, 1);
  EXPECT_FALSE(options.no_announce);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--peers", "0"},
                                               {"--peers=601"},
                                               {"--peers=x"},
                                               {"--no-announce=1"}}) {
    EXPECT_FALSE(ParseConsoleOptions(args, "/", options, error)) << args.back();
  }
}

}  // namespace
}  // namespace tovrin
