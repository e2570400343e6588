#include "storage/save_dir.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "net/descriptor.h"
#include "storage/storage.h"

namespace tovrin {
namespace {

constexpr char DEFAULT_FOLDER[] = "Received Files/";

std::string DefaultSaveDir() {
  std::string dir = CurrentDirectory();
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir + DEFAULT_FOLDER;
}

// The kernel resolves paths beneath a folder (openat2); false once it answered ENOSYS.
std::atomic<bool> kernel_resolves{true};

template <typename Call>
int Retrying(Call call) {
  int result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

// The save directory as the user named it, links in its path followed.
int OpenSaveDir(const std::string& save_dir) {
  return Retrying([&] { return ::open(save_dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); });
}

// One existing folder below `holder`, never through a link: a link or a non-folder gives
// ENOTDIR or ELOOP.
int OpenFolderAt(int holder, const std::string& name) {
  Descriptor folder(Retrying([&] {
    return ::openat(holder, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }));
  struct stat info {};
  if (folder.valid() && (::fstat(folder.get(), &info) != 0 || !S_ISDIR(info.st_mode))) {
    errno = ENOTDIR;
    return -1;
  }
  return folder.Release();
}

// `path` below `base`, resolved by the kernel without leaving `base` or following any link.
int OpenBeneath(int base, const char* path, int flags) {
  open_how how{};
  how.flags = static_cast<uint64_t>(flags);
  how.mode = (flags & O_CREAT) != 0 ? 0666 : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(::syscall(SYS_openat2, base, path, &how, sizeof how));
}

// The file through `open` (called with the open flags): made when there is none, so that
// `created` tells whether this open made it, else the existing one. -1 with errno set.
template <typename Open>
int OpenFile(Open open, int flags, bool& created) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    int file = Retrying([&] { return open(flags | O_CREAT | O_EXCL); });
    if (file >= 0) {
      created = true;
      return file;
    }
    if (errno != EEXIST) return -1;
    file = Retrying([&] { return open(flags); });
    // Removed between the two opens: the next attempt makes it.
    if (file >= 0 || errno != ENOENT) return file;
  }
  return -1;
}

// A received relative path's components; false when one is empty, "." or "..", or longer
// than a file name can be.
bool SplitReceivedPath(const std::string& relative, std::vector<std::string>& parts) {
  for (size_t start = 0;;) {
    const size_t slash = relative.find('/', start);
    const size_t end = slash == std::string::npos ? relative.size() : slash;
    std::string part = relative.substr(start, end - start);
    if (part.empty() || part == "." || part == ".." || part.size() > NAME_MAX) return false;
    parts.push_back(std::move(part));
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
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

OpenedTarget TargetOpener::Open(const std::string& save_dir, const std::string& relative,
                                TargetAccess access) {
  std::vector<std::string> parts;
  if (save_dir.empty() || save_dir.size() + relative.size() >= PATH_MAX ||
      !SplitReceivedPath(relative, parts)) {
    return {};
  }
  const int base = SaveDir(save_dir);
  if (base < 0) return {};
  const int flags =
      (access == TargetAccess::kUpdate ? O_RDWR : O_WRONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  if (resolution_ == Resolution::kBest && kernel_resolves.load(std::memory_order_relaxed)) {
    OpenedTarget target;
    const auto open = [&](int how) { return OpenBeneath(base, relative.c_str(), how); };
    const int file = OpenFile(open, flags, target.created);
    if (file >= 0) {
      target.file = File::Adopt(file, flags);
      return target;
    }
    if (errno == ENOSYS) kernel_resolves.store(false, std::memory_order_relaxed);
    // A missing folder is made by the walk; a kernel or a sandbox without openat2 (ENOSYS,
    // or EPERM from a system call filter) and a rename racing the lookup (EAGAIN) leave the
    // decision to the walk. Anything else (a link, a non-folder, a full disk) refuses.
    if (errno != ENOENT && errno != ENOSYS && errno != EPERM && errno != EAGAIN) return {};
  }
  return Walk(base, parts, flags);
}

int TargetOpener::SaveDir(const std::string& save_dir) {
  struct stat now {};
  if (base_.valid() && base_path_ == save_dir && ::stat(save_dir.c_str(), &now) == 0 &&
      S_ISDIR(now.st_mode) && now.st_dev == base_device_ && now.st_ino == base_inode_) {
    return base_.get();
  }
  base_.Reset(OpenSaveDir(save_dir));
  if (!base_.valid() && errno == ENOENT) {
    MakeDirectories(save_dir);
    base_.Reset(OpenSaveDir(save_dir));
  }
  struct stat opened {};
  if (!base_.valid() || ::fstat(base_.get(), &opened) != 0) {
    base_.Reset();
    return -1;
  }
  base_path_ = save_dir;
  base_device_ = opened.st_dev;
  base_inode_ = opened.st_ino;
  return base_.get();
}

OpenedTarget TargetOpener::Walk(int base, const std::vector<std::string>& parts, int flags) {
  // folders[k] is parts[k] opened as a folder; the folder that holds parts[k] is the one before.
  std::vector<Descriptor> folders;
  const auto holder = [&](size_t k) { return k == 0 ? base : folders[k - 1].get(); };
  const size_t last = parts.size() - 1;
  // The folders that exist are only looked at: a link or a non-folder refuses the path
  // before anything is made.
  while (folders.size() < last) {
    Descriptor folder(OpenFolderAt(holder(folders.size()), parts[folders.size()]));
    if (!folder.valid()) {
      if (errno == ENOENT) break;
      return {};
    }
    folders.push_back(std::move(folder));
  }
  std::vector<size_t> made;
  while (folders.size() < last) {
    const size_t k = folders.size();
    if (::mkdirat(holder(k), parts[k].c_str(), 0777) == 0) {
      made.push_back(k);
    } else if (errno != EEXIST) {
      break;
    }
    Descriptor folder(OpenFolderAt(holder(k), parts[k]));
    if (!folder.valid()) break;
    folders.push_back(std::move(folder));
  }
  OpenedTarget target;
  if (folders.size() == last) {
    const auto open = [&](int how) {
      return ::openat(holder(last), parts[last].c_str(), how, 0666);
    };
    target.file = File::Adopt(OpenFile(open, flags, target.created), flags);
  }
  if (!target.file.is_open()) {
    // Only folders this target made, innermost first, and only while they are empty.
    for (auto k = made.rbegin(); k != made.rend(); ++k) {
      static_cast<void>(::unlinkat(holder(*k), parts[*k].c_str(), AT_REMOVEDIR));
    }
  }
  return target;
}

}  // namespace tovrin
