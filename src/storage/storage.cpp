#include "storage/storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

namespace tovrin {
namespace {

int OpenRetrying(const std::string& path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Opens without blocking, so that a FIFO or a device under the name can never hold the
// caller in open(), and keeps only a regular file, switched back to blocking mode.
File OpenRegular(const std::string& path, int flags, mode_t mode) {
  if (path.empty()) return {};
  const int opened = flags | O_CLOEXEC | O_NONBLOCK;
  return File::Adopt(OpenRetrying(path, opened, mode), opened);
}

FileInfo InfoOf(const struct stat& status) {
  FileInfo info;
  info.size = status.st_size;
  info.mtime_ns = static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
  info.mode = status.st_mode & 07777;
  info.device = status.st_dev;
  info.inode = status.st_ino;
  return info;
}

}  // namespace

File File::Adopt(int opened, int flags) {
  Descriptor fd(opened);
  if (!fd.valid()) return {};
  struct stat status {};
  // F_SETFL takes only the status flags of `flags` (O_NONBLOCK among them).
  if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return {};
  }
  // A descriptor that landed on 0, 1 or 2 (standard streams closed) moves above them.
  if (fd.get() <= STDERR_FILENO) {
    fd.Reset(::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    if (!fd.valid()) return {};
  }
  return File(std::move(fd), InfoOf(status));
}

File File::OpenForWrite(const std::string& path) {
  return OpenRegular(path, O_WRONLY | O_CREAT | O_NOFOLLOW, 0666);
}

File File::OpenForUpdate(const std::string& path) {
  return OpenRegular(path, O_RDWR | O_CREAT | O_NOFOLLOW, 0666);
}

File File::OpenForRead(const std::string& path) { return OpenRegular(path, O_RDONLY, 0); }

int32_t File::Seek(int32_t offset, int origin) {
  if (!is_open()) return -1;
  int64_t base = 0;
  switch (origin) {
    case SEEK_FROM_START:
      break;
    case SEEK_FROM_CURRENT:
      base = position_;
      break;
    case SEEK_FROM_END: {
      FileInfo info;
      base = GetInfo(info) ? info.size : -1;
      break;
    }
    default:
      return -1;
  }
  if (base < 0) return -1;
  const int64_t target = base + offset;
  if (target < 0 || target > INT32_MAX) return -1;
  position_ = target;
  return static_cast<int32_t>(target);
}

int File::Read(void* buffer, int count) {
  const int got = ReadAt(buffer, count, position_);
  if (got > 0) position_ += got;
  return got;
}

int File::Write(const void* buffer, int count) {
  const int written = WriteAt(buffer, count, position_);
  if (written > 0) position_ += written;
  return written;
}

bool File::GetInfo(FileInfo& info) const {
  struct stat status {};
  if (!is_open() || ::fstat(fd_.get(), &status) != 0) return false;
  info = InfoOf(status);
  return true;
}

int File::ReadAt(void* buffer, int count, int64_t offset) const {
  if (!is_open() || count < 0 || offset < 0) return -1;
  if (count == 0) return 0;
  ssize_t n;
  do {
    n = ::pread(fd_.get(), buffer, static_cast<size_t>(count), offset);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}

int File::WriteAt(const void* buffer, int count, int64_t offset) const {
  if (!is_open() || count < 0 || offset < 0 || offset > INT64_MAX - count) return -1;
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  int written = 0;
  while (written < count) {
    const ssize_t n = ::pwrite(fd_.get(), bytes + written, static_cast<size_t>(count - written),
                               offset + written);
    if (n > 0) {
      written += static_cast<int>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return -1;  // an error, or no progress at all (which would otherwise spin)
    }
  }
  return written;
}

bool File::Truncate(int64_t size) const {
  if (!is_open() || size < 0) return false;
  int result;
  do {
    result = ::ftruncate(fd_.get(), size);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool File::ApplySourceStamp(int64_t mtime_ns, uint32_t source_mode, uint32_t mode) const {
  if (!is_open()) return false;
  const mode_t readable = (mode & 0444) >> 2;
  // Also drops setuid, setgid and sticky bits an existing target had.
  const mode_t wanted = (mode & 0666) | (source_mode & 0111 & readable);
  bool done = wanted == (mode & 07777) || ::fchmod(fd_.get(), wanted) == 0;
  int64_t seconds = mtime_ns / 1000000000;
  int64_t nanoseconds = mtime_ns % 1000000000;
  if (nanoseconds < 0) {
    nanoseconds += 1000000000;
    --seconds;
  }
  const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), nanoseconds}};
  done = ::futimens(fd_.get(), times) == 0 && done;
  return done;
}

bool IsDirectory(const std::string& path) {
  if (path.empty()) return false;
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool MakeDirectory(const std::string& path) {
  if (path.empty()) return false;
  return ::mkdir(path.c_str(), 0777) == 0;
}

std::string CurrentDirectory() {
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
    if (errno != ERANGE) break;
    buffer.resize(buffer.size() * 2);
  }
  // No current directory (it was removed, or access is denied): "." keeps later paths
  // relative instead of turning them into paths below the root.
  return ".";
}

}  // namespace tovrin
