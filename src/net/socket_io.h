#pragma once

#include <chrono>
#include <cstddef>

namespace tovrin {

// Waits until `socket` is ready for `events` (as poll takes them), going on after an
// interruption; false once `deadline` has passed first (errno untouched) or poll failed.
[[nodiscard]] bool WaitReady(int socket, short events,
                             std::chrono::steady_clock::time_point deadline);

// Sends all of `count` bytes as they are (no complement); false on an error or a closed
// connection. For a blocking socket; never raises SIGPIPE.
[[nodiscard]] bool SendRaw(int socket, const void* bytes, std::size_t count);

}  // namespace tovrin
