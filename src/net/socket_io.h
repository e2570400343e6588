#pragma once

#include <chrono>
#include <cstddef>

namespace tovrin {

// Waits until `socket` is ready for `events` (as poll takes them), going on after an
// interruption; false once `deadline` has passed first (errno untouched) or poll failed.
[[nodiscard]] bool WaitReady(int socket, short events,
                             std::chrono::steady_clock::time_point deadline);

// How moving all of a block ended. kWaitFailed: the deadline passed first, or the wait itself
// failed (errno set; the clock tells which); kClosed: the peer closed before the last byte
// arrived (receiving only); kFailed: send or recv failed (errno set).
enum class IoEnd { kDone, kWaitFailed, kClosed, kFailed };

// Send and receive all of `count` bytes as they are (no complement), each part once the
// socket is ready, by `deadline`. For a blocking or non-blocking socket alike; sending never
// raises SIGPIPE. Receiving reads nothing beyond the `count` bytes.
[[nodiscard]] IoEnd SendAll(int socket, const void* bytes, std::size_t count,
                            std::chrono::steady_clock::time_point deadline);
[[nodiscard]] IoEnd ReceiveAll(int socket, void* bytes, std::size_t count,
                               std::chrono::steady_clock::time_point deadline);

}  // namespace tovrin
