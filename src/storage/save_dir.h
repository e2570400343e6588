#pragma once

#include <string>

namespace tovrin {

// The save directory from the program's argument text (its arguments joined by single
// spaces): empty gives "<current directory>/Received Files/"; a leading double quote strips
// the first and the last byte; a '/' is appended when missing. A relative result stays
// relative. The result always ends in '/'.
[[nodiscard]] std::string ResolveSaveDir(const std::string& argument_text);

// Creates every directory on the path of a file, outermost first (one MakeDirectory per '/');
// the part after the last '/' is never created. Directories whose path the system cannot
// take (PATH_MAX bytes or more) are not tried, so the work is linear in the path's length
// and at most PATH_MAX / 2 directories are made.
void MakeDirectories(const std::string& path);

// The path up to and including its last '/'; a path without one is returned whole.
[[nodiscard]] std::string DirectoryPart(const std::string& path);

// Opens the targets of received files, making their directories first when they may be
// missing: a batch's files mostly share the last file's directory, so directories are only
// made again when the directory changes, or when opening fails without them. One per
// receive worker.
class TargetOpener final {
 public:
  using OpenFunction = int (*)(const std::string& path);
  // `open` is OpenForWrite or OpenForUpdate; its result is returned.
  [[nodiscard]] int Open(const std::string& target, OpenFunction open);

 private:
  std::string made_directory_;
};

}  // namespace tovrin
