#pragma once

#include <cstdlib>

namespace tovrin::testing {

// Sanitized builds run the heavy tests on less data.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// TOVRIN_LONG=1 asks for the long versions of the reliability runs.
inline bool LongMode() {
  const char* value = std::getenv("TOVRIN_LONG");
  return value != nullptr && value[0] != '\0' && value[0] != '0';
}

}  // namespace tovrin::testing
