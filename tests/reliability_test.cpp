// Disk trouble on the receiving side and a long run of sessions between two instances that
// are never restarted. TOVRIN_LONG=1 makes the soak five times longer.

#include <dirent.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "support/test_modes.h"
#include "support/test_peer.h"
#include "port/format.h"
#include "port/texts.h"

namespace tovrin::testing {
namespace {

int CountEntries(const char* folder) {
  int count = 0;
  if (DIR* dir = opendir(folder)) {
    while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
  }
  return count;
}

long FileSize(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

int CountLines(const std::vector<std::string>& log, const std::string& line) {
  return static_cast<int>(std::count(log.begin(), log.end(), line));
}

// Caps the size of every file this process writes; a write beyond it fails with EFBIG
// instead of raising SIGXFSZ. Both are restored at the end of the scope.
class FileSizeLimit final {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    saved_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    applied_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, saved_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  [[nodiscard]] bool applied() const { return applied_; }

 private:
  rlimit saved_{};
  void (*saved_handler_)(int) = SIG_DFL;
  bool applied_ = false;
};

TEST(Reliability, AnUnwritableSaveDirectoryIsReportedAndTheSessionGoesOn) {
  TestPeer a, b;
  WriteFile(a.dir.path() + "src/one.txt", "one");
  WriteFile(a.dir.path() + "src/sub/two.bin", PatternBytes(70000, 1));
  // A file where the save directory should be: no directory or file can be made below it
  // (permissions would not stop a privileged test run).
  WriteFile(b.dir.path() + "save", "in the way");
  a.Drop({a.dir.path() + "src/one.txt", a.dir.path() + "src/sub"});
  ASSERT_TRUE(ConnectPair(a, b));

  ASSERT_TRUE(WaitFor([&] { return b.port.HasRecvLine(text::kReceiveDone); }));
  EXPECT_TRUE(b.port.HasRecvLine(
      FormatLine(text::kCannotCreate, (b.session.save_dir + "one.txt").c_str())));
  EXPECT_TRUE(b.port.HasRecvLine(
      FormatLine(text::kCannotCreate, (b.session.save_dir + "sub/two.bin").c_str())));
  EXPECT_TRUE(a.port.HasSendLine(FormatLine(text::kCannotSend, "one.txt")));
  EXPECT_TRUE(a.port.HasSendLine(FormatLine(text::kCannotSend, "sub/two.bin")));
  EXPECT_EQ(ReadFile(b.dir.path() + "save"), "in the way");

  // The session is still there: chat works, and once the way is clear the files arrive.
  a.Chat("still here");
  ASSERT_TRUE(WaitFor([&] { return b.port.HasChatLine("recv > still here"); }));
  ASSERT_TRUE(a.Connected() && b.Connected());
  std::remove((b.dir.path() + "save").c_str());
  a.Drop({a.dir.path() + "src/one.txt", a.dir.path() + "src/sub"});
  ASSERT_TRUE(WaitFor([&] { return CountLines(b.port.recv_log(), text::kReceiveDone) == 2; }));
  EXPECT_EQ(ReadFile(b.session.save_dir + "one.txt"), "one");
  EXPECT_EQ(ReadFile(b.session.save_dir + "sub/two.bin"), PatternBytes(70000, 1));
}

TEST(Reliability, AWriteFailingMidwayIsLoggedOnceAndALaterSessionResumes) {
  TestPeer a, b;
  const std::string content = PatternBytes(3 << 20, 5);
  WriteFile(a.dir.path() + "big.bin", content);
  WriteFile(a.dir.path() + "after.txt", "after");
  const std::string target = b.session.save_dir + "big.bin";
  constexpr long kLimit = (1 << 20) + 12345;  // inside a chunk, not on its boundary
  {
    FileSizeLimit limit(kLimit);
    ASSERT_TRUE(limit.applied());
    a.Drop({a.dir.path() + "big.bin", a.dir.path() + "after.txt"});
    ASSERT_TRUE(ConnectPair(a, b));
    ASSERT_TRUE(WaitFor([&] { return b.port.HasRecvLine(text::kReceiveDone); }));
  }
  const std::vector<std::string> log = b.port.recv_log();
  EXPECT_EQ(CountLines(log, FormatLine(text::kWriteFailed, "big.bin")), 1);
  // What reached the disk is a true prefix; the file after it still arrived.
  ASSERT_EQ(FileSize(target), kLimit);
  EXPECT_TRUE(ReadFile(target) == content.substr(0, kLimit));
  EXPECT_EQ(ReadFile(b.session.save_dir + "after.txt"), "after");
  EXPECT_TRUE(a.Connected() && b.Connected());

  a.Stop();
  b.Stop();
  a.Drop({a.dir.path() + "big.bin"});
  ASSERT_TRUE(ConnectPair(a, b));
  ASSERT_TRUE(WaitFor([&] { return CountLines(b.port.recv_log(), text::kReceiveDone) == 2; }));
  EXPECT_TRUE(a.port.HasSendLine(FormatLine(text::kResuming, static_cast<int>(kLimit))));
  EXPECT_TRUE(ReadFile(target) == content);
  EXPECT_EQ(CountLines(b.port.recv_log(), FormatLine(text::kWriteFailed, "big.bin")), 1);
}

// Connect, send a file, chat both ways and disconnect, again and again, with the same two
// instances. Every cycle must give back its descriptors, threads and memory.
TEST(Reliability, ManySessionsLeaveNoDescriptorsThreadsOrMemoryBehind) {
  const int cycles = LongMode() ? 1000 : 200;
  TestPeer a, b;
  const std::string file = a.dir.path() + "cycle.bin";
  WriteFile(file, PatternBytes(40000, 9));
  const std::string target = b.session.save_dir + "cycle.bin";

  auto cycle = [&](int i) {
    std::remove(target.c_str());
    a.Drop({file});
    ASSERT_TRUE(ConnectPair(a, b)) << "cycle " << i;
    const std::string line = "line " + std::to_string(i);
    a.Chat(line);
    b.Chat(line);
    ASSERT_TRUE(WaitFor([&] {
      return b.port.HasChatLine("recv > " + line) && a.port.HasChatLine("recv > " + line) &&
             CountLines(b.port.recv_log(), text::kReceiveDone) == i + 1;
    })) << "cycle "
        << i;
    ASSERT_EQ(FileSize(target), 40000) << "cycle " << i;
    // Either side may end it.
    (i % 2 == 0 ? a : b).Disconnect();
    ASSERT_TRUE(WaitFor([&] {
      return a.WorkersEnded() && b.WorkersEnded() && !a.Connected() && !b.Connected();
    })) << "cycle "
        << i;
  };

  // The first cycle sets up what lives for the whole process (iconv, the handle registry).
  cycle(0);
  if (::testing::Test::HasFatalFailure()) return;
  const int tasks = CountEntries("/proc/self/task");
  const int descriptors = CountEntries("/proc/self/fd");
  const size_t heap = mallinfo2().uordblks;

  for (int i = 1; i < cycles && !::testing::Test::HasFatalFailure(); ++i) cycle(i);

  // A worker leaves its record (Exit) just before its thread returns.
  EXPECT_TRUE(WaitFor([&] { return CountEntries("/proc/self/task") <= tasks; }))
      << CountEntries("/proc/self/task") << " threads, " << tasks << " before";
  EXPECT_EQ(CountEntries("/proc/self/fd"), descriptors);
  if (!kSanitized) {
    // The recording windows keep every log line (well under 1 MB); a buffer or a connection
    // lost per cycle would pass 4 MB.
    EXPECT_LT(mallinfo2().uordblks, heap + (4u << 20));
  }
  EXPECT_EQ(CountLines(a.port.chat_log(), text::kDisconnected), cycles);
  EXPECT_EQ(CountLines(b.port.chat_log(), text::kDisconnected), cycles);
}

}  // namespace
}  // namespace tovrin::testing
