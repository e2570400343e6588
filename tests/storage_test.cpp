#include "storage/storage.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
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
  // With a reader, so open() itself succeeds.
  EXPECT_FALSE(File::OpenForWrite(dir.path() + "fifo").is_open());
  ::close(reader);
  for (const std::string& refused : {dir.path() + "missing/x.bin", dir.path() + "link",
                                     dir.path() + "fifo", std::string("/dev/null"), dir.path()}) {
    EXPECT_FALSE(File::OpenForWrite(refused).is_open()) << refused;
  }
  EXPECT_FALSE(fs::exists(dir.path() + "target"));
  EXPECT_FALSE(IsDirectory(dir.path() + "link") || IsDirectory(""));
  EXPECT_TRUE(File::OpenForWrite(dir.path() + "new.bin").is_open());
  // With the standard streams closed, a file never takes their numbers.
  const int saved = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
  ASSERT_GE(saved, 0);
  ::close(STDIN_FILENO);
  File file = File::OpenForWrite(dir.path() + "new.bin");
  EXPECT_EQ(::fcntl(STDIN_FILENO, F_GETFD), -1);
  ASSERT_EQ(::dup2(saved, STDIN_FILENO), STDIN_FILENO);
  ::close(saved);
  EXPECT_EQ(file.Write("ab", 2), 2);
  EXPECT_EQ(ReadFile(dir.path() + "new.bin"), "ab");
}

TEST(Storage, PositionalReadsSeeksAndClosedFiles) {
  const TempDir dir;
  ASSERT_EQ(::mkfifo((dir.path() + "fifo").c_str(), 0600), 0);
  EXPECT_FALSE(File::OpenForRead(dir.path()).is_open());
  // And a FIFO without a writer does not block.
  EXPECT_FALSE(File::OpenForRead(dir.path() + "fifo").is_open());
  WriteFile(dir.path() + "data", std::string(50, 'a') + std::string(50, 'b'));
  File file = File::OpenForRead(dir.path() + "data");
  ASSERT_TRUE(file.is_open());
  char buffer[4] = {};
  EXPECT_EQ(file.Write("x", 1), -1);  // opened for reading only
  EXPECT_EQ(file.Seek(5, SEEK_FROM_CURRENT), 5);
  EXPECT_EQ(file.Seek(-10, SEEK_FROM_END), 90);
  EXPECT_EQ(file.Seek(50, SEEK_FROM_END), 150);  // past the end is allowed
  // Refusals leave the position where it was.
  EXPECT_EQ(file.Seek(48, SEEK_FROM_START), 48);
  EXPECT_EQ(file.Seek(0, 3), -1);
  EXPECT_EQ(file.Seek(0, -1), -1);
  EXPECT_EQ(file.Seek(-49, SEEK_FROM_CURRENT), -1);
  EXPECT_EQ(file.Seek(-101, SEEK_FROM_END), -1);
  EXPECT_EQ(file.Seek(-1, SEEK_FROM_START), -1);
  EXPECT_EQ(file.Seek(INT32_MAX, SEEK_FROM_END), -1);  // beyond 31 bits
  // A read at an offset leaves the position alone; Read moves it.
  EXPECT_EQ(file.ReadAt(buffer, 4, 0), 4);
  EXPECT_EQ(file.Read(buffer, 4), 4);
  EXPECT_EQ(std::string(buffer, 4), "aabb");
  EXPECT_EQ(file.Seek(0, SEEK_FROM_CURRENT), 52);
  file.Close();
  FileInfo info;
  EXPECT_EQ(file.Read(buffer, 1), -1);
  EXPECT_EQ(file.Seek(0, SEEK_FROM_START), -1);
  EXPECT_FALSE(file.GetInfo(info));
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

// Lets the process open only `count` more descriptors (the lowest free numbers) until it goes.
class DescriptorLimit final {
 public:
  explicit DescriptorLimit(int count) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlim_t limit = 0;
    for (int free = 0; free < count; ++limit) {
      if (::fcntl(static_cast<int>(limit), F_GETFD) < 0) ++free;
    }
    const rlimit lowered{limit, saved_.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  rlimit saved_{};
};

// Below the save directory no link is followed, on the way or as the file, whether the kernel
// resolves the path or it is walked; links in the save directory's own path are. Whatever
// refuses a target does so before a folder is made, and the folders made for a file that
// then cannot be opened are removed again.
TEST(SaveDir, TargetsStayBeneathTheSaveDirectoryAndFollowNoLink) {
  for (const Resolution resolution : {Resolution::kBest, Resolution::kWalk}) {
    SCOPED_TRACE(resolution == Resolution::kBest ? "best" : "walk");
    const TempDir dir;
    const std::string real = dir.path() + "real/";
    const std::string outside = dir.path() + "outside/";
    fs::create_directories(outside);
    WriteFile(real + "plain", "kept");
    WriteFile(real + "sub/old.txt", "old");
    fs::create_directory_symlink(outside, real + "dirlink");
    fs::create_directory_symlink(outside, real + "sub/dirlink");
    fs::create_symlink(outside + "target", real + "filelink");
    fs::create_directory_symlink(real, dir.path() + "save");
    ASSERT_EQ(::mkfifo((real + "pipe").c_str(), 0600), 0);
    const std::string save = dir.path() + "save/";
    TargetOpener opener(resolution);

    const std::string long_name(255, 'n');
    std::string too_long = long_name;
    for (int i = 1; i < 16; ++i) too_long += "/" + long_name;
    for (const std::string& refused :
         {std::string("dirlink/x"), std::string("dirlink/new/x"), std::string("sub/dirlink/x"),
          std::string("filelink"), std::string("plain/x"), std::string("plain/new/x"),
          std::string("sub"), std::string("pipe"), std::string("a/../x"), std::string("a//x"),
          std::string("./x"), std::string(""), std::string(256, 'l'), "new/" + too_long}) {
      EXPECT_FALSE(opener.Open(save, refused, TargetAccess::kUpdate).file.is_open()) << refused;
    }
    EXPECT_EQ(CountEntries(outside), 0);
    EXPECT_EQ(CountEntries(real), 5);
    EXPECT_EQ(ReadFile(real + "plain"), "kept");

    OpenedTarget target = opener.Open(save, "sub/old.txt", TargetAccess::kUpdate);
    EXPECT_FALSE(target.created);
    char byte = 0;
    EXPECT_EQ(target.file.ReadAt(&byte, 1, 0), 1);
    target = opener.Open(save, "new/deeper/x.txt", TargetAccess::kWrite);
    EXPECT_TRUE(target.created && target.file.is_open());
    EXPECT_EQ(target.file.Write("x", 1), 1);
    target.file.Close();
    EXPECT_EQ(ReadFile(real + "new/deeper/x.txt"), "x");
    target = opener.Open(save, "new/deeper/x.txt", TargetAccess::kWrite);
    EXPECT_FALSE(target.created);

    {
      // Two new folders and no descriptor for the file (the save directory is held from the
      // calls before).
      const DescriptorLimit limit(2);
      EXPECT_FALSE(opener.Open(save, "m1/m2/x", TargetAccess::kWrite).file.is_open());
    }
    EXPECT_FALSE(fs::exists(real + "m1"));
  }
  // A missing save directory is made, as the user named it, also when it was moved away
  // between two files.
  const TempDir dir;
  TargetOpener opener;
  EXPECT_TRUE(opener.Open(dir.path() + "a/b/", "c/x", TargetAccess::kWrite).created);
  fs::rename(dir.path() + "a/b", dir.path() + "a/moved");
  EXPECT_TRUE(opener.Open(dir.path() + "a/b/", "y", TargetAccess::kWrite).created);
  EXPECT_EQ(ListTree(dir.path()),
            (std::map<std::string, std::uintmax_t>{{"a/b/y", 0}, {"a/moved/c/x", 0}}));
}

}  // namespace
}  // namespace tovrin::testing
