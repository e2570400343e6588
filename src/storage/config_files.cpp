#include "storage/config_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "net/errno_text.h"

namespace tovrin {
namespace {

constexpr char TEMP_NAME_LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// A folder or file of the configuration is trusted only when it is the user's and nobody
// else can change it (ssh's rule for its own files).
bool Trusted(const struct stat& info, const std::string& path, std::string& error) {
  if (info.st_uid != ::geteuid()) {
    error = path + " belongs to another user: Tovrin keeps its key only where you alone own it";
    return false;
  }
  if ((info.st_mode & 022) != 0) {
    error = path + " can be changed by others (mode " + Octal(info.st_mode) +
            "): make it yours alone (chmod go-w " + path + ")";
    return false;
  }
  return true;
}

// Creates the missing parents of `dir` (each new one gets exactly CONFIG_DIR_MODE, whatever the
// umask); the user's own path may hold symbolic links.
bool MakeParents(const std::string& dir, std::string& error) {
  for (std::size_t end = 1; end < dir.size(); ++end) {
    if (dir[end] != '/') continue;
    const std::string part = dir.substr(0, end);
    if (::mkdir(part.c_str(), CONFIG_DIR_MODE) == 0) {
      if (::chmod(part.c_str(), CONFIG_DIR_MODE) != 0) {
        error = "Cannot set the mode of " + part + ": " + ErrnoText(errno);
        return false;
      }
    } else if (errno != EEXIST) {
      error = "Cannot create " + part + ": " + ErrnoText(errno);
      return false;
    }
  }
  return true;
}

}  // namespace

std::string DirPath(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir;
}

Descriptor OpenConfigDir(std::string dir, bool create, std::string& error, bool* missing) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (missing != nullptr) *missing = false;
  if (create) {
    if (!MakeParents(dir, error)) return Descriptor();
    if (::mkdir(dir.c_str(), CONFIG_DIR_MODE) == 0) {
      if (::chmod(dir.c_str(), CONFIG_DIR_MODE) != 0) {
        error = "Cannot set the mode of " + dir + ": " + ErrnoText(errno);
        return Descriptor();
      }
    } else if (errno != EEXIST) {
      error = "Cannot create " + dir + ": " + ErrnoText(errno);
      return Descriptor();
    }
  }
  Descriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    const int failure = errno;
    if (failure == ENOENT && missing != nullptr) *missing = true;
    error = failure == ELOOP || failure == ENOTDIR
                ? dir +
                      " is a symbolic link or no folder: Tovrin keeps its key only in a folder of "
                      "its own (remove it; Tovrin makes the folder)"
                : "Cannot open " + dir + ": " + ErrnoText(failure);
    return Descriptor();
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    error = "Cannot open " + dir + ": " + ErrnoText(errno);
    return Descriptor();
  }
  if (!Trusted(info, dir, error)) return Descriptor();
  return fd;
}

ConfigRead ReadConfigFile(int dir_fd, const std::string& dir, const char* name, off_t limit,
                          std::string& content, std::string& error, bool* was_readable) {
  const std::string path = DirPath(dir) + name;
  const Descriptor fd(::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ENOENT) return ConfigRead::kMissing;
    error = errno == ELOOP ? path + " is a symbolic link: Tovrin does not follow it (remove it)"
                           : "Cannot read " + path + ": " + ErrnoText(errno);
    return ConfigRead::kFailed;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    error = "Cannot read " + path + ": " + ErrnoText(errno);
    return ConfigRead::kFailed;
  }
  if (!S_ISREG(info.st_mode)) {
    error = path + " is no regular file";
    return ConfigRead::kFailed;
  }
  if (!Trusted(info, path, error)) return ConfigRead::kFailed;
  if (info.st_size > limit) {
    error = path + " is too large to be Tovrin's";
    return ConfigRead::kFailed;
  }
  if ((info.st_mode & 077) != 0) {
    if (was_readable != nullptr) *was_readable = (info.st_mode & 044) != 0;
    ::fchmod(fd.get(), CONFIG_FILE_MODE);
  }
  // Read in place, without a second buffer: the content may be a private key.
  content.assign(static_cast<std::size_t>(info.st_size), '\0');
  std::size_t got = 0;
  while (got < content.size()) {
    const ssize_t n = ::read(fd.get(), content.data() + got, content.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "Cannot read " + path + ": " + ErrnoText(errno);
      explicit_bzero(content.data(), content.size());
      return ConfigRead::kFailed;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  content.resize(got);
  return ConfigRead::kDone;
}

namespace {

// Renames `from` to `to` in the folder; with `keep_existing`, fails with EEXIST instead of
// replacing an existing `to`.
bool RenameIn(int dir_fd, const std::string& from, const std::string& to, bool keep_existing) {
  if (!keep_existing) return ::renameat(dir_fd, from.c_str(), dir_fd, to.c_str()) == 0;
  if (::renameat2(dir_fd, from.c_str(), dir_fd, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without RENAME_NOREPLACE: a hard link never replaces either.
  if (::linkat(dir_fd, from.c_str(), dir_fd, to.c_str(), 0) != 0) return false;
  ::unlinkat(dir_fd, from.c_str(), 0);
  return true;
}

}  // namespace

bool WriteConfigFile(int dir_fd, const std::string& dir, const std::string& name, const char* data,
                     std::size_t size, bool keep_existing, std::string& error) {
  // O_EXCL makes the name safe; the random part only keeps writers from meeting.
  unsigned char random[6] = {};
  (void)::getrandom(random, sizeof random, 0);
  std::string temp = name + ".tmp-";
  for (const unsigned char byte : random) temp += TEMP_NAME_LETTERS[byte % 32];
  const std::string path = DirPath(dir) + name;
  Descriptor fd(::openat(dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         CONFIG_FILE_MODE));
  if (!fd.valid()) {
    error = "Cannot create " + DirPath(dir) + temp + ": " + ErrnoText(errno);
    return false;
  }
  bool written = ::fchmod(fd.get(), CONFIG_FILE_MODE) == 0;
  for (std::size_t done = 0; written && done < size;) {
    const ssize_t n = ::write(fd.get(), data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    written = n > 0;
    if (written) done += static_cast<std::size_t>(n);
  }
  written = written && ::fsync(fd.get()) == 0 && ::close(fd.Release()) == 0;
  if (!written || !RenameIn(dir_fd, temp, name, keep_existing)) {
    error = errno == EEXIST ? path + " appeared meanwhile; it is left as it is"
                            : "Cannot write " + path + ": " + ErrnoText(errno);
    ::unlinkat(dir_fd, temp.c_str(), 0);
    return false;
  }
  ::fsync(dir_fd);
  return true;
}

std::string MoveAside(int dir_fd, const std::string& dir, const std::string& name,
                      std::string& error) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  const std::string base = name + ".broken-" + stamp;
  for (int attempt = 1; attempt < 100; ++attempt) {
    std::string target = attempt == 1 ? base : base + "-" + std::to_string(attempt);
    if (RenameIn(dir_fd, name, target, true)) {
      ::fsync(dir_fd);
      return target;
    }
    if (errno != EEXIST) break;
  }
  error = "Cannot move " + DirPath(dir) + name + " aside: " + ErrnoText(errno);
  return {};
}

DirLock::DirLock(int dir_fd) : fd_(dir_fd) {
  while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
  }
}

DirLock::~DirLock() { ::flock(fd_, LOCK_UN); }

}  // namespace tovrin
