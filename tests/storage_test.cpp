#include "storage/storage.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace tovrin {
namespace {

namespace fs = std::filesystem;

// A fresh temporary directory per test, removed afterwards.
class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tovrin-storage-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern + "/";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  static void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
  }
  std::string dir_;
};

TEST_F(StorageTest, OpenForWriteKeepsExistingContent) {
  const std::string path = dir_ + "kept.bin";
  WriteFile(path, std::string(1000, 'x'));
  const int handle = OpenForWrite(path);
  ASSERT_GT(handle, 2);
  EXPECT_EQ(Seek(handle, 0, SEEK_FROM_END), 1000);
  EXPECT_EQ(Seek(handle, 10, SEEK_FROM_START), 10);
  EXPECT_EQ(Write(handle, "abc", 3), 3);  // overwrites in place, never appends
  EXPECT_EQ(Write(handle, "", 0), 0);
  Close(handle);
  std::string expected(1000, 'x');
  expected.replace(10, 3, "abc");
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), expected);

  const int created = OpenForWrite(dir_ + "new.bin");
  ASSERT_GT(created, 2);
  EXPECT_EQ(Seek(created, 0, SEEK_FROM_END), 0);
  Close(created);
  EXPECT_TRUE(fs::is_regular_file(dir_ + "new.bin"));
  EXPECT_EQ(OpenForWrite(dir_ + "missing/x.bin"), -1);
}

TEST_F(StorageTest, OpenForWriteDoesNotFollowAFinalSymlink) {
  WriteFile(dir_ + "target", "keep");
  fs::create_symlink(dir_ + "target", dir_ + "link");
  EXPECT_EQ(OpenForWrite(dir_ + "link"), -1);
}

// A FIFO or a device under the name would block the receiver in open() or take its data
// elsewhere: only regular files are opened, without waiting for a reader.
TEST_F(StorageTest, OpenForWriteOnlyTakesRegularFiles) {
  ASSERT_EQ(::mkfifo((dir_ + "fifo").c_str(), 0600), 0);
  const int reader = ::open((dir_ + "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_EQ(OpenForWrite(dir_ + "fifo"), -1);  // with a reader, so open() itself succeeds
  ::close(reader);
  EXPECT_EQ(OpenForWrite(dir_ + "fifo"), -1);  // and without one it does not block
  EXPECT_EQ(OpenForWrite("/dev/null"), -1);
  EXPECT_EQ(OpenForWrite(dir_), -1);

  const int handle = OpenForWrite(dir_ + "plain");
  ASSERT_GT(handle, 2);
  EXPECT_EQ(::fcntl(handle, F_GETFL) & O_NONBLOCK, 0);
  Close(handle);
}

TEST_F(StorageTest, OpenForReadOnlyTakesRegularFiles) {
  EXPECT_EQ(OpenForRead(dir_ + "missing"), -1);
  EXPECT_EQ(OpenForRead(dir_), -1);
  ASSERT_EQ(::mkfifo((dir_ + "fifo").c_str(), 0600), 0);
  EXPECT_EQ(OpenForRead(dir_ + "fifo"), -1);  // and does not block without a writer

  WriteFile(dir_ + "data", "hello");
  const int handle = OpenForRead(dir_ + "data");
  ASSERT_GT(handle, 2);
  char buffer[16] = {};
  EXPECT_EQ(Read(handle, buffer, 0), 0);
  EXPECT_EQ(Read(handle, buffer, sizeof buffer), 5);
  EXPECT_EQ(std::string(buffer, 5), "hello");
  EXPECT_EQ(Read(handle, buffer, sizeof buffer), 0);
  EXPECT_EQ(Write(handle, "x", 1), -1);  // opened for reading only
  Close(handle);
}

TEST_F(StorageTest, SeekOriginsAndRefusals) {
  WriteFile(dir_ + "f", std::string(100, 'a'));
  const int handle = OpenForRead(dir_ + "f");
  ASSERT_GT(handle, 2);
  EXPECT_EQ(Seek(handle, 40, SEEK_FROM_START), 40);
  EXPECT_EQ(Seek(handle, 5, SEEK_FROM_CURRENT), 45);
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
}

TEST_F(StorageTest, ForeignHandlesTouchNothing) {
  char buffer[4] = {};
  for (const int handle : {-1, 0, 1, 2, 12345}) {
    EXPECT_EQ(Seek(handle, 0, SEEK_FROM_START), -1) << handle;
    EXPECT_EQ(Read(handle, buffer, 4), -1) << handle;
    EXPECT_EQ(Write(handle, "x", 1), -1) << handle;
    Close(handle);
  }
  // A descriptor this layer did not hand out (a socket) stays open and untouched.
  int sockets[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
  EXPECT_EQ(Write(sockets[0], "x", 1), -1);
  Close(sockets[0]);
  EXPECT_EQ(::write(sockets[0], "y", 1), 1);
  EXPECT_EQ(::read(sockets[1], buffer, 4), 1);
  EXPECT_EQ(buffer[0], 'y');
  ::close(sockets[0]);
  ::close(sockets[1]);

  // A closed handle is no longer ours.
  const int handle = OpenForWrite(dir_ + "closed");
  ASSERT_GT(handle, 2);
  Close(handle);
  EXPECT_EQ(Write(handle, "x", 1), -1);
}

TEST_F(StorageTest, DirectoriesAndCurrentDirectory) {
  EXPECT_TRUE(IsDirectory(dir_));
  EXPECT_FALSE(IsDirectory(dir_ + "missing"));
  EXPECT_FALSE(IsDirectory(""));
  WriteFile(dir_ + "file", "");
  EXPECT_FALSE(IsDirectory(dir_ + "file"));

  EXPECT_TRUE(MakeDirectory(dir_ + "sub/"));
  EXPECT_TRUE(IsDirectory(dir_ + "sub"));
  EXPECT_FALSE(MakeDirectory(dir_ + "sub"));  // exists already: harmless

  const std::string cwd = CurrentDirectory();
  ASSERT_FALSE(cwd.empty());
  EXPECT_EQ(cwd.front(), '/');
  EXPECT_TRUE(cwd == "/" || cwd.back() != '/');
  EXPECT_TRUE(IsDirectory(cwd));
}

}  // namespace
}  // namespace tovrin
