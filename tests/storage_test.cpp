#include "storage/storage.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "storage/save_dir.h"
#include "support/files.h"

namespace tovrin::testing {
namespace {

namespace fs = std::filesystem;

// A link would take the data elsewhere, and a FIFO or a device would block the receiver in
// open() or swallow its data: only regular files are opened for writing.
TEST(Storage, OpenForWriteTakesOnlyRegularFilesWithoutBlocking) {
  const TempDir dir;
  fs::create_symlink(dir.path() + "target", dir.path() + "link");
  ASSERT_EQ(::mkfifo((dir.path() + "fifo").c_str(), 0600), 0);
  const int reader = ::open((dir.path() + "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(OpenForWrite(dir.path() + "fifo"), -1);  // with a reader, so open() itself succeeds
  ::close(reader);
  for (const std::string& refused : {dir.path() + "missing/x.bin", dir.path() + "link",
                                     dir.path() + "fifo", std::string("/dev/null"), dir.path()}) {
    EXPECT_EQ(OpenForWrite(refused), -1) << refused;
  }
  EXPECT_FALSE(fs::exists(dir.path() + "target"));
  EXPECT_FALSE(IsDirectory(dir.path() + "link") || IsDirectory(""));
  const int handle = OpenForWrite(dir.path() + "new.bin");
  ASSERT_GT(handle, 2);
  EXPECT_EQ(::fcntl(handle, F_GETFL) & O_NONBLOCK, 0);
  Close(handle);
}

TEST(Storage, ReadSeekAndForeignHandles) {
  const TempDir dir;
  ASSERT_EQ(::mkfifo((dir.path() + "fifo").c_str(), 0600), 0);
  EXPECT_EQ(OpenForRead(dir.path()), -1);
  EXPECT_EQ(OpenForRead(dir.path() + "fifo"), -1);  // and a FIFO without a writer does not block
  WriteFile(dir.path() + "data", std::string(100, 'a'));
  const int handle = OpenForRead(dir.path() + "data");
  ASSERT_GT(handle, 2);
  char buffer[4] = {};
  EXPECT_EQ(Write(handle, "x", 1), -1);  // opened for reading only
  EXPECT_EQ(Seek(handle, 5, SEEK_FROM_CURRENT), 5);
  EXPECT_EQ(Seek(handle, -10, SEEK_FROM_END), 90);
  EXPECT_EQ(Seek(handle, 50, SEEK_FROM_END), 150);  // past the end is allowed
  // Refusals leave the position where it was.
  EXPECT_EQ(Seek(handle, 20, SEEK_FROM_START), 20);
  EXPECT_EQ(Seek(handle, 0, 3), -1);
  EXPECT_EQ(Seek(handle, 0, -1), -1);
  EXPECT_EQ(Seek(handle, -21, SEEK_FROM_CURRENT), -1);
  EXPECT_EQ(Seek(handle, -101, SEEK_FROM_END), -1);
  EXPECT_EQ(Seek(handle, -1, SEEK_FROM_START), -1);
  EXPECT_EQ(Seek(handle, INT32_MAX, SEEK_FROM_END), -1);  // beyond 31 bits
  EXPECT_EQ(Seek(handle, 0, SEEK_FROM_CURRENT), 20);
  Close(handle);
  EXPECT_EQ(Read(handle, buffer, 1), -1);  // a closed handle is no longer ours

  for (const int foreign : {-1, 0, 1, 2, 12345}) {
    EXPECT_EQ(Seek(foreign, 0, SEEK_FROM_START), -1) << foreign;
    EXPECT_EQ(Read(foreign, buffer, 4), -1) << foreign;
    EXPECT_EQ(Write(foreign, "x", 1), -1) << foreign;
    Close(foreign);
  }
  // A descriptor this layer did not hand out (a socket) stays open and untouched.
  int sockets[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
  EXPECT_EQ(Write(sockets[0], "x", 1), -1);
  Close(sockets[0]);
  EXPECT_EQ(::write(sockets[0], "y", 1), 1);
  EXPECT_EQ(::read(sockets[1], buffer, 4), 1);
  ::close(sockets[0]);
  ::close(sockets[1]);
}

TEST(SaveDir, QuotesSeparatorsAndTheDefault) {
  const std::string cwd = CurrentDirectory();
  ASSERT_EQ(cwd.front(), '/');
  EXPECT_TRUE(cwd == "/" || cwd.back() != '/');
  const std::string fallback = (cwd == "/" ? "" : cwd) + "/Received Files/";
  // The joined arguments are one path, blanks included.
  EXPECT_EQ(ResolveSaveDir("\"/srv/Inbox\""), "/srv/Inbox/");
  EXPECT_EQ(ResolveSaveDir("/srv/Inbox"), "/srv/Inbox/");
  EXPECT_EQ(ResolveSaveDir("\"/srv/Inbox/\""), "/srv/Inbox/");
  EXPECT_EQ(ResolveSaveDir("/srv/My Files"), "/srv/My Files/");
  // A leading quote strips the first and the last byte, whatever the last one is.
  EXPECT_EQ(ResolveSaveDir("\"/srv/Inboxy"), "/srv/Inbox/");
  EXPECT_EQ(ResolveSaveDir("表"), "表/");  // a relative one stays relative
  // Nothing is left of a lone quote or an empty quoted argument: the default, never "/".
  for (const char* empty : {"", "\"", "\"\""}) EXPECT_EQ(ResolveSaveDir(empty), fallback);
  ASSERT_EQ(::chdir("/"), 0);
  EXPECT_EQ(ResolveSaveDir(""), "/Received Files/");
  ASSERT_EQ(::chdir(cwd.c_str()), 0);

  EXPECT_EQ(DirectoryPart("/a/表"), "/a/");
  EXPECT_EQ(DirectoryPart("/a/"), "/a/");
  EXPECT_EQ(DirectoryPart("/"), "/");
  EXPECT_EQ(DirectoryPart("name.txt"), "name.txt");
}

TEST(SaveDir, MakeDirectoriesCreatesEveryDirectoryButNotTheFile) {
  const TempDir dir;
  const std::string& root = dir.path();
  for (int twice = 0; twice < 2; ++twice) MakeDirectories(root + "表/ソ/x.txt");
  EXPECT_TRUE(IsDirectory(root + "表/ソ"));
  EXPECT_FALSE(fs::exists(root + "表/ソ/x.txt"));
  MakeDirectories(root + "a//b/");
  EXPECT_TRUE(IsDirectory(root + "a/b"));

  // Millions of components are walked once, not copied once each; below a file nothing is
  // made and the file stays.
  WriteFile(root + "file", "kept");
  std::string deep = root + "file/";
  for (int i = 0; i < (4 << 20); ++i) deep += "d/";
  MakeDirectories(deep + "x.txt");

  const std::string cwd = CurrentDirectory();
  ASSERT_EQ(::chdir(root.c_str()), 0);
  MakeDirectories("plain.txt");  // no separator: nothing is created
  ASSERT_EQ(::chdir(cwd.c_str()), 0);
  EXPECT_EQ(ListTree(root), (std::map<std::string, std::uintmax_t>{{"file", 4}}));
  EXPECT_EQ(std::distance(fs::directory_iterator(root), fs::directory_iterator()), 3);
}

}  // namespace
}  // namespace tovrin::testing
