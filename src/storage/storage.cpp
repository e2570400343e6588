#include "storage/storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "net/descriptor.h"

namespace tovrin {
namespace {

// The descriptors this layer handed out. A handle echoed by the peer, -1, or a socket
// number must never reach read/write/lseek/close, so every operation checks here first.
// Each handle is used and closed by the one worker that opened it; the lock only guards
// the set itself.
class HandleRegistry final {
 public:
  void Add(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    handles_.insert(fd);
  }
  [[nodiscard]] bool Contains(int fd) {
    if (fd < 0) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return handles_.count(fd) != 0;
  }
  // Forgets the handle; true when it was one of ours. Called before close() so that a
  // concurrent open that receives the same number registers it afterwards.
  [[nodiscard]] bool Remove(int fd) {
    if (fd < 0) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return handles_.erase(fd) != 0;
  }

 private:
  std::mutex mutex_;
  std::unordered_set<int> handles_;
};

HandleRegistry& Registry() {
  // Never destroyed: a worker may still close its file while the process exits.
  static auto* registry = new HandleRegistry;
  return *registry;
}

// Moves a descriptor that landed on 0, 1 or 2 (standard streams closed) above them, then
// registers it. -1 when that fails.
int Adopt(int fd) {
  if (fd < 0) return -1;
  if (fd <= STDERR_FILENO) {
    const Descriptor low(fd);
    fd = ::fcntl(low.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (fd < 0) return -1;
  }
  Registry().Add(fd);
  return fd;
}

int OpenRetrying(const std::string& path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Opens without blocking, so that a FIFO or a device under the name can never hold the
// caller in open(), and keeps only a regular file, switched back to blocking mode.
int OpenRegular(const std::string& path, int flags, mode_t mode) {
  return AdoptRegularFile(OpenRetrying(path, flags | O_CLOEXEC | O_NONBLOCK, mode));
}

}  // namespace

int AdoptRegularFile(int opened) {
  Descriptor fd(opened);
  if (!fd.valid()) return -1;
  struct stat info {};
  const int status = ::fcntl(fd.get(), F_GETFL);
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || status < 0 ||
      ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0) {
    return -1;
  }
  return Adopt(fd.Release());
}

int OpenForWrite(const std::string& path) {
  if (path.empty()) return -1;
  return OpenRegular(path, O_WRONLY | O_CREAT | O_NOFOLLOW, 0666);
}

int OpenForRead(const std::string& path) {
  if (path.empty()) return -1;
  return OpenRegular(path, O_RDONLY, 0);
}

int32_t Seek(int handle, int32_t offset, int origin) {
  if (!Registry().Contains(handle)) return -1;
  off_t base = 0;
  switch (origin) {
    case SEEK_FROM_START:
      break;
    case SEEK_FROM_CURRENT:
      base = ::lseek(handle, 0, SEEK_CUR);
      break;
    case SEEK_FROM_END: {
      struct stat info {};
      base = ::fstat(handle, &info) == 0 ? info.st_size : -1;
      break;
    }
    default:
      return -1;
  }
  if (base < 0) return -1;
  // Checked before moving, so a refused seek leaves the position where it was.
  const off_t target = base + static_cast<off_t>(offset);
  if (target < 0 || target > INT32_MAX) return -1;
  if (::lseek(handle, target, SEEK_SET) != target) return -1;
  return static_cast<int32_t>(target);
}

int Read(int handle, void* buffer, int count) {
  if (!Registry().Contains(handle) || count < 0) return -1;
  if (count == 0) return 0;
  ssize_t n;
  do {
    n = ::read(handle, buffer, static_cast<size_t>(count));
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}

int Write(int handle, const void* buffer, int count) {
  if (!Registry().Contains(handle) || count < 0) return -1;
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  int written = 0;
  while (written < count) {
    const ssize_t n = ::write(handle, bytes + written, static_cast<size_t>(count - written));
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

void Close(int handle) {
  if (Registry().Remove(handle)) ::close(handle);
}

int OpenForUpdate(const std::string& path) {
  if (path.empty()) return -1;
  return OpenRegular(path, O_RDWR | O_CREAT | O_NOFOLLOW, 0666);
}

bool GetFileInfo(int handle, FileInfo& info) {
  struct stat status {};
  if (!Registry().Contains(handle) || ::fstat(handle, &status) != 0) return false;
  info.size = status.st_size;
  info.mtime_ns = static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
  info.mode = status.st_mode & 07777;
  info.device = status.st_dev;
  info.inode = status.st_ino;
  return true;
}

int ReadAt(int handle, void* buffer, int count, int64_t offset) {
  if (!Registry().Contains(handle) || count < 0 || offset < 0) return -1;
  ssize_t n;
  do {
    n = ::pread(handle, buffer, static_cast<size_t>(count), offset);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}

int WriteAt(int handle, const void* buffer, int count, int64_t offset) {
  if (!Registry().Contains(handle) || count < 0 || offset < 0 || offset > INT64_MAX - count) {
    return -1;
  }
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  int written = 0;
  while (written < count) {
    const ssize_t n =
        ::pwrite(handle, bytes + written, static_cast<size_t>(count - written), offset + written);
    if (n > 0) {
      written += static_cast<int>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return -1;
    }
  }
  return written;
}

bool Truncate(int handle, int64_t size) {
  if (!Registry().Contains(handle) || size < 0) return false;
  int result;
  do {
    result = ::ftruncate(handle, size);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool ApplySourceStamp(int handle, int64_t mtime_ns, uint32_t source_mode, uint32_t mode) {
  if (!Registry().Contains(handle)) return false;
  const mode_t readable = (mode & 0444) >> 2;
  // Also drops setuid, setgid and sticky bits an existing target had.
  const mode_t wanted = (mode & 0666) | (source_mode & 0111 & readable);
  bool done = wanted == (mode & 07777) || ::fchmod(handle, wanted) == 0;
  int64_t seconds = mtime_ns / 1000000000;
  int64_t nanoseconds = mtime_ns % 1000000000;
  if (nanoseconds < 0) {
    nanoseconds += 1000000000;
    --seconds;
  }
  const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), nanoseconds}};
  done = ::futimens(handle, times) == 0 && done;
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
