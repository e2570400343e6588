#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "net/descriptor.h"
#include "storage/storage.h"

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

// How a received file is opened: as File::OpenForWrite or as File::OpenForUpdate (for reading
// too).
enum class TargetAccess { kWrite, kUpdate };

// How a path beneath the save directory is resolved: kBest asks the kernel to stay beneath
// it without following links (openat2) and walks component by component where the kernel
// lacks that; kWalk always walks. Both refuse the same paths.
enum class Resolution { kBest, kWalk };

struct OpenedTarget {
  File file;             // closed when the target is refused
  bool created = false;  // this open made the file
};

// Opens the targets of received files beneath the save directory. The save directory's own
// path (the user's choice) is followed as it is, and made when missing; below it no symbolic
// link is ever followed, on the way or as the file. Everything that refuses a target (its
// length, a link or a non-folder on the way) is checked before any folder is made, and the
// folders made for a target that then cannot be opened are removed again. One per receive
// worker, on its thread.
class TargetOpener final {
 public:
  explicit TargetOpener(Resolution resolution = Resolution::kBest) : resolution_(resolution) {}

  // `relative`: '/'-separated components, none of them empty, "." or "..". Refused (the file
  // closed) when the whole path, `save_dir` included, is PATH_MAX bytes or longer, a component
  // is longer than a file name can be, a folder on the way is a symbolic link or no folder,
  // or the file is a link or anything but a regular file.
  [[nodiscard]] OpenedTarget Open(const std::string& save_dir, const std::string& relative,
                                  TargetAccess access);

 private:
  [[nodiscard]] OpenedTarget Walk(int base, const std::vector<std::string>& parts, int flags);
  // The save directory opened (made when missing), or -1: the one of the last call while its
  // path still names the same folder, which costs a look instead of an open and a close per
  // file; otherwise opened anew.
  [[nodiscard]] int SaveDir(const std::string& save_dir);

  Resolution resolution_;
  std::string base_path_;  // the save directory base_ is
  Descriptor base_;
  dev_t base_device_ = 0;
  ino_t base_inode_ = 0;
};

}  // namespace tovrin
