#include "console/console_port.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "port/texts.h"

namespace tovrin {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string Contents(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  return text;
}

TEST(ConsolePort, LogLinesArePrefixedAndNeverSplitTheStatusLine) {
  // Standard output and standard error on one terminal.
  File log(std::tmpfile());
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
  File log(std::tmpfile());
  ConsolePort port(true, log.get(), nullptr);
  // A peer's text can neither forge a second log line nor drive the terminal.
  port.AppendChatLog("recv > x\nsend: 送信完了\x1b[2J\t\x7f\u009b");
  const std::string escaped = "chat: recv > x\\x0Asend: 送信完了\\x1B[2J\\x09\\x7F\\x9B\n";
  EXPECT_EQ(Contents(log.get()), escaped);

  port.SetInputText("line");
  port.WatchListenSocket(7);
  EXPECT_TRUE(port.IsSubfoldersChecked());
  EXPECT_EQ(port.GetInputText(), "line");
  EXPECT_EQ(port.watched_socket(), 7);

  port.Close();
  bool ran = false;
  EXPECT_FALSE(port.RunOnUiThread([&] { ran = true; }));
  EXPECT_FALSE(ran);
  port.AppendChatLog("after the end");
  EXPECT_EQ(port.GetInputText(), "");
  EXPECT_FALSE(port.IsSubfoldersChecked());
  EXPECT_EQ(port.watched_socket(), -1);
  EXPECT_EQ(Contents(log.get()), escaped);
}

}  // namespace
}  // namespace tovrin
