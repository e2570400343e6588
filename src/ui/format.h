#pragma once

#include <string>

namespace tovrin {

// Longest log line in bytes; longer lines are cut at a character boundary.
inline constexpr std::size_t MAX_LOG_LINE = 1023;

// printf into a std::string, cut to MAX_LOG_LINE bytes without splitting a UTF-8 character.
[[nodiscard]] std::string FormatLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Cuts UTF-8 text to at most `limit` bytes without splitting a character.
[[nodiscard]] std::string CutUtf8(std::string text, std::size_t limit);

}  // namespace tovrin
