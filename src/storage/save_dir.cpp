#include "storage/save_dir.h"

#include <climits>

#include "storage/storage.h"

namespace tovrin {
namespace {

constexpr char DEFAULT_FOLDER[] = "Received Files/";

std::string DefaultSaveDir() {
  std::string dir = CurrentDirectory();
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir + DEFAULT_FOLDER;
}

}  // namespace

// Local paths are UTF-8, where no byte of a multi-byte character equals '/', so plain byte
// tests are exact here; the cp932 walk belongs to the wire text alone.
std::string ResolveSaveDir(const std::string& argument_text) {
  if (argument_text.empty()) return DefaultSaveDir();
  std::string dir;
  if (argument_text.front() == '"') {
    // A lone quote or an empty quoted argument names no directory at all.
    if (argument_text.size() < 3) return DefaultSaveDir();
    dir = argument_text.substr(1, argument_text.size() - 2);
  } else {
    dir = argument_text;
  }
  if (dir.back() != '/') dir += '/';
  return dir;
}

void MakeDirectories(const std::string& path) {
  // One prefix grows by a component at a time instead of a copy per directory. A prefix of
  // PATH_MAX bytes or more is refused by the system (ENAMETOOLONG), and so is every longer
  // one: the walk ends there.
  std::string prefix;
  for (size_t start = 0, slash = path.find('/'); slash != std::string::npos;
       start = slash + 1, slash = path.find('/', start)) {
    if (slash + 1 >= PATH_MAX) return;
    prefix.append(path, start, slash + 1 - start);
    MakeDirectory(prefix);
  }
}

std::string DirectoryPart(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(0, slash + 1);
}

int TargetOpener::Open(const std::string& target, OpenFunction open) {
  const std::string directory = DirectoryPart(target);
  if (directory != made_directory_) {
    MakeDirectories(target);
    made_directory_ = directory;
    return open(target);
  }
  const int file = open(target);
  if (file >= 0) return file;
  MakeDirectories(target);
  return open(target);
}

}  // namespace tovrin
