#include "storage/save_dir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "storage/storage.h"

namespace tovrin {
namespace {

namespace fs = std::filesystem;

TEST(SaveDir, QuotesAndSeparators) {
  EXPECT_EQ(ResolveSaveDir("\"/srv/Inbox\""), "/srv/Inbox/");
  EXPECT_EQ(ResolveSaveDir("/srv/Inbox"), "/srv/Inbox/");
  EXPECT_EQ(ResolveSaveDir("/srv/Inbox/"), "/srv/Inbox/");
  EXPECT_EQ(ResolveSaveDir("\"/srv/Inbox/\""), "/srv/Inbox/");
  // The joined arguments are one path, blanks included.
  EXPECT_EQ(ResolveSaveDir("/srv/My Files"), "/srv/My Files/");
  // A leading quote strips the first and the last byte, whatever the last one is.
  EXPECT_EQ(ResolveSaveDir("\"/srv/Inboxy"), "/srv/Inbox/");
  EXPECT_EQ(ResolveSaveDir("\"ab"), "a/");
  // A relative directory stays relative.
  EXPECT_EQ(ResolveSaveDir("inbox"), "inbox/");
  EXPECT_EQ(ResolveSaveDir("表"), "表/");
}

TEST(SaveDir, DefaultIsBelowTheCurrentDirectory) {
  const std::string cwd = CurrentDirectory();
  const std::string expected = (cwd == "/" ? std::string("/") : cwd + "/") + "Received Files/";
  EXPECT_EQ(ResolveSaveDir(""), expected);
  // Nothing is left of a lone quote or an empty quoted argument: the default, never "/".
  EXPECT_EQ(ResolveSaveDir("\""), expected);
  EXPECT_EQ(ResolveSaveDir("\"\""), expected);

  const std::string previous = CurrentDirectory();
  ASSERT_EQ(::chdir("/"), 0);
  EXPECT_EQ(ResolveSaveDir(""), "/Received Files/");
  ASSERT_EQ(::chdir(previous.c_str()), 0);
}

TEST(SaveDir, DirectoryPart) {
  EXPECT_EQ(DirectoryPart("/a/b.txt"), "/a/");
  EXPECT_EQ(DirectoryPart("/a/表"), "/a/");
  EXPECT_EQ(DirectoryPart("name.txt"), "name.txt");
  EXPECT_EQ(DirectoryPart("/"), "/");
  EXPECT_EQ(DirectoryPart("/a/"), "/a/");
}

TEST(SaveDir, MakeDirectoriesCreatesEveryDirectoryButNotTheFile) {
  std::string pattern = (fs::temp_directory_path() / "tovrin-savedir-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const std::string root = pattern + "/";

  MakeDirectories(root + "表/ソ/x.txt");
  EXPECT_TRUE(IsDirectory(root + "表/ソ"));
  EXPECT_FALSE(fs::exists(root + "表/ソ/x.txt"));
  MakeDirectories(root + "表/ソ/x.txt");  // existing directories are fine
  EXPECT_TRUE(IsDirectory(root + "表/ソ"));
  MakeDirectories(root + "a//b/");
  EXPECT_TRUE(IsDirectory(root + "a/b"));

  // Millions of components are walked once, not copied once each; below a file nothing is
  // made and the file stays.
  std::ofstream(root + "file") << "kept";
  std::string deep = root + "file/";
  for (int i = 0; i < (4 << 20); ++i) deep += "d/";
  MakeDirectories(deep + "x.txt");
  EXPECT_TRUE(fs::is_regular_file(root + "file"));

  const std::string previous = CurrentDirectory();
  ASSERT_EQ(::chdir(root.c_str()), 0);
  MakeDirectories("plain.txt");  // no separator: nothing is created
  ASSERT_EQ(::chdir(previous.c_str()), 0);
  int entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(root)) ++entries;
  EXPECT_EQ(entries, 3);  // 表, a and file

  std::error_code ignored;
  fs::remove_all(root, ignored);
}

}  // namespace
}  // namespace tovrin
