#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "net/descriptor.h"

namespace tovrin {

// The files of the configuration folder (this installation's key and certificate, the known
// peers): trusted only when the user alone can change them, never reached through a symbolic
// link, and written whole.

inline constexpr mode_t CONFIG_DIR_MODE = 0700;
inline constexpr mode_t CONFIG_FILE_MODE = 0600;

// `dir` with one '/' at its end (an empty `dir` stays empty).
[[nodiscard]] std::string DirPath(std::string dir);

// The configuration folder itself, opened without following a symbolic link and checked (it
// is the user's and nobody else can change it, ssh's rule for its own files); made, with its
// missing parents (mode CONFIG_DIR_MODE, whatever the umask), when `create` and it is missing.
// Invalid with `error` set, and `missing` true when it does not exist (and was not to be made).
[[nodiscard]] Descriptor OpenConfigDir(std::string dir, bool create, std::string& error,
                                       bool* missing = nullptr);

// Holds an exclusive lock on the folder for its lifetime, so that two processes creating the
// identity or rewriting the peers never interleave.
class DirLock final {
 public:
  explicit DirLock(int dir_fd);
  ~DirLock();
  DirLock(const DirLock&) = delete;
  DirLock& operator=(const DirLock&) = delete;

 private:
  const int fd_;
};

enum class ConfigRead { kDone, kMissing, kFailed };

// The whole file `name` of the folder, opened without following a symbolic link and checked
// like the folder; no larger than `limit`. A file that others may read is narrowed to
// CONFIG_FILE_MODE on the way; `was_readable` then tells whether others could read it. kFailed
// with `error` set (and nothing of the file left in `content`).
[[nodiscard]] ConfigRead ReadConfigFile(int dir_fd, const std::string& dir, const char* name,
                                        off_t limit, std::string& content, std::string& error,
                                        bool* was_readable = nullptr);

// Writes `name` in the folder as a whole (a reader sees the old file or the new one, and a
// crash leaves no half-written file under the name), mode CONFIG_FILE_MODE. With
// `keep_existing` an existing file of that name is never replaced.
bool WriteConfigFile(int dir_fd, const std::string& dir, const std::string& name, const char* data,
                     std::size_t size, bool keep_existing, std::string& error);

// Moves `name` aside to `name`.broken-YYYYMMDD-HHMMSS (a number added when that is taken);
// the new name, or empty with `error` set.
std::string MoveAside(int dir_fd, const std::string& dir, const std::string& name,
                      std::string& error);

}  // namespace tovrin
