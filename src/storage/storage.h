#pragma once

#include <cstdint>
#include <string>

namespace tovrin {

// File operations of both workers, on native (UTF-8) paths. A handle is a descriptor this
// layer handed out (never 0, 1 or 2); every operation on any other number, -1 included,
// touches no file: Seek, Read and Write return -1 and Close does nothing.

inline constexpr int SEEK_FROM_START = 0;
inline constexpr int SEEK_FROM_CURRENT = 1;
inline constexpr int SEEK_FROM_END = 2;

// Opens for writing, creating the file when missing and keeping existing content (never
// truncates). A symbolic link as the final component is not followed, and anything but a
// regular file (a FIFO, a device) is refused without blocking. -1 on failure.
[[nodiscard]] int OpenForWrite(const std::string& path);
// Takes over a descriptor of a file opened without blocking (O_NONBLOCK): a regular file is
// switched back to blocking mode and handed out as a handle; anything else is closed and -1
// returned (also for -1).
[[nodiscard]] int AdoptRegularFile(int fd);
// Opens an existing regular file for reading. -1 on failure.
[[nodiscard]] int OpenForRead(const std::string& path);
// Origins 0, 1, 2 (start, current, end). Returns the new position from the start, or -1
// for another origin, a position before the start or one that does not fit in 31 bits.
[[nodiscard]] int32_t Seek(int handle, int32_t offset, int origin);
// Up to `count` bytes at the current position; 0 at the end; -1 on failure.
[[nodiscard]] int Read(int handle, void* buffer, int count);
// All `count` bytes at the current position (partial writes are completed); -1 on failure.
[[nodiscard]] int Write(int handle, const void* buffer, int count);
void Close(int handle);
// 64-bit operations of extended sessions, on the same handles. They never move a handle's
// position, so the classic operations above are not disturbed.

struct FileInfo {
  int64_t size = 0;
  int64_t mtime_ns = 0;  // nanoseconds since 1970 (UTC)
  uint32_t mode = 0;     // permission bits (07777)
  uint64_t device = 0;
  uint64_t inode = 0;
};

// As OpenForWrite, but for reading as well: a received file's existing part is hashed
// before it is resumed.
[[nodiscard]] int OpenForUpdate(const std::string& path);
[[nodiscard]] bool GetFileInfo(int handle, FileInfo& info);
// Up to `count` bytes at `offset`; 0 at the end; -1 on failure.
[[nodiscard]] int ReadAt(int handle, void* buffer, int count, int64_t offset);
// All `count` bytes at `offset`; -1 on failure.
[[nodiscard]] int WriteAt(int handle, const void* buffer, int count, int64_t offset);
// Cuts or extends the file to `size` bytes.
[[nodiscard]] bool Truncate(int handle, int64_t size);
// Gives a received file the source's modification time, and the source's execute bits for
// each class (owner, group, others) that may read the file; other bits (setuid, setgid,
// sticky) never. `mode` is the file's own permission bits (FileInfo::mode).
[[nodiscard]] bool ApplySourceStamp(int handle, int64_t mtime_ns, uint32_t source_mode,
                                    uint32_t mode);

// True for an existing directory; false for anything else, including failures.
[[nodiscard]] bool IsDirectory(const std::string& path);
// Creates one directory; the path may end in '/'. The result is informational only.
bool MakeDirectory(const std::string& path);
// The current directory without trailing '/' (except for the root).
[[nodiscard]] std::string CurrentDirectory();

}  // namespace tovrin
