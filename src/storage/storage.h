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
// True for an existing directory; false for anything else, including failures.
[[nodiscard]] bool IsDirectory(const std::string& path);
// Creates one directory; the path may end in '/'. The result is informational only.
bool MakeDirectory(const std::string& path);
// The current directory without trailing '/' (except for the root).
[[nodiscard]] std::string CurrentDirectory();

}  // namespace tovrin
