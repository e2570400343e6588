#pragma once

#include <cstring>
#include <string>

namespace tovrin {

// The system's text for an errno value, for a failure's message.
inline std::string ErrnoText(int error) {
  return std::strerror(error);  // NOLINT(concurrency-mt-unsafe)
}

}  // namespace tovrin
