#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "console/cli_process.h"
#include "support/temp_dir.h"

namespace tovrin::testing {
namespace {

namespace fs = std::filesystem;

void WriteFile(const fs::path& path, size_t size, uint32_t seed) {
  testing::WriteFile(path.string(), PatternBytes(size, seed));
}

// Every file below `root` by relative path, with its content; directories end in '/'.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> tree;
  if (!fs::is_directory(root)) return tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string relative = fs::relative(entry.path(), root).string();
    if (entry.is_directory()) {
      tree[relative + "/"] = "";
    } else {
      tree[relative] = ReadFile(entry.path().string());
    }
  }
  return tree;
}

// A tree with nested folders, names whose cp932 form holds a 0x5C trail byte, and the sizes
// around one data chunk.
fs::path MakeSourceTree(const ScratchDir& dir) {
  const fs::path root = dir.path() / "src" / "送信 表";
  WriteFile(root / "empty.bin", 0, 1);
  WriteFile(root / "one.bin", 1, 2);
  WriteFile(root / "ソ" / "chunk.bin", 32768, 3);
  WriteFile(root / "ソ" / "深い" / "表示.bin", 32769, 4);
  WriteFile(root / "a" / "b" / "c" / "last.txt", 5000, 5);
  return root;
}

void RunBatch(const ScratchDir& dir, const fs::path& source, bool subfolders) {
  int port = 0;
  std::vector<std::string> receiver_args{"--save-dir", dir / "recv"};
  if (subfolders) receiver_args.push_back("--subfolders");
  auto receiver = StartListener(receiver_args, port);
  ASSERT_NE(receiver, nullptr);
  CliProcess sender({"--connect", PeerAddress(port), "--save-dir", dir / "unused",
                     "--exit-after-batch", source.string()});
  ASSERT_TRUE(sender.WaitExit()) << sender.Transcript() << receiver->Transcript();
  ASSERT_TRUE(receiver->WaitExit()) << receiver->Transcript();
  EXPECT_EQ(sender.exit_code(), 0);
  EXPECT_EQ(receiver->exit_code(), 0);
  EXPECT_EQ(sender.CountLine("send: 送信完了"), 1);
  EXPECT_EQ(receiver->CountLine("recv: 受信完了"), 1);
}

TEST(ConsoleTransfer, FolderTreeArrivesWhole) {
  ScratchDir dir;
  const fs::path source = MakeSourceTree(dir);
  RunBatch(dir, source, false);
  const auto sent = Tree(source);
  EXPECT_EQ(Tree(fs::path(dir / "recv") / source.filename()), sent);
}

TEST(ConsoleTransfer, SubfoldersPutTheTreeUnderTheAnnouncedFolder) {
  ScratchDir dir;
  const fs::path source = MakeSourceTree(dir);
  RunBatch(dir, source, true);
  // The folder text is the sender's directory of the drop without its leading '/'.
  const std::string folder = source.parent_path().string().substr(1);
  EXPECT_EQ(Tree(fs::path(dir / "recv") / folder / source.filename()), Tree(source));
}

TEST(ConsoleTransfer, KilledSenderResumesWhereTheFileBrokeOff) {
  ScratchDir dir;
  constexpr size_t kSize = 64u << 20;
  const fs::path source = dir.path() / "big.bin";
  WriteFile(source, kSize, 7);
  const fs::path target = fs::path(dir / "recv") / "big.bin";
  auto partial_size = [&] {
    std::error_code error;
    const auto size = fs::file_size(target, error);
    return error ? 0 : static_cast<size_t>(size);
  };

  int port = 0;
  auto receiver = StartListener({"--save-dir", dir / "recv"}, port);
  ASSERT_NE(receiver, nullptr);
  {
    // Stopped the moment it starts streaming, so the file is caught part-way.
    CliProcess sender(
        {"--connect", PeerAddress(port), "--save-dir", dir / "unused", source.string()},
        [](const std::string& line, pid_t pid) {
          if (line.rfind("send: 送信中 [", 0) == 0) kill(pid, SIGSTOP);
        });
    // Stopped before its first chunk left: let it go on until some data has arrived.
    if (!WaitFor([&] { return partial_size() > 0; }, std::chrono::seconds(2))) {
      sender.Signal(SIGCONT);
    }
    ASSERT_TRUE(WaitFor([&] { return partial_size() > 0; }, PROCESS_LIMIT));
    sender.Signal(SIGKILL);
    ASSERT_TRUE(sender.WaitExit());
  }
  ASSERT_TRUE(receiver->WaitExit());
  EXPECT_EQ(receiver->exit_code(), 0);
  size_t partial = partial_size();
  ASSERT_GT(partial, 0u);
  if (partial == kSize) {
    // The whole file got out before the stop took hold: break it off here instead.
    fs::resize_file(target, kSize / 2);
    partial = kSize / 2;
  }

  receiver = StartListener({"--save-dir", dir / "recv"}, port);
  ASSERT_NE(receiver, nullptr);
  CliProcess sender({"--connect", PeerAddress(port), "--save-dir", dir / "unused",
                     "--exit-after-batch", source.string()});
  ASSERT_TRUE(sender.WaitExit());
  ASSERT_TRUE(receiver->WaitExit());
  EXPECT_EQ(sender.exit_code(), 0);
  EXPECT_EQ(receiver->exit_code(), 0);

  const std::regex resumed("send: \\(([0-9]+) バイトよりレジューム\\)");
  std::smatch match;
  bool found = false;
  for (const std::string& line : sender.Lines()) {
    if (!std::regex_match(line, match, resumed)) continue;
    found = true;
    const size_t offset = std::stoul(match[1]);
    EXPECT_TRUE(offset == partial || offset + 1 == partial) << line << " after " << partial;
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(partial_size(), kSize);
  EXPECT_TRUE(ReadFile(target.string()) == ReadFile(source.string()));
}

}  // namespace
}  // namespace tovrin::testing
