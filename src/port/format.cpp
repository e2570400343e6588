#include "port/format.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace tovrin {

std::string CutUtf8(std::string text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  // Step back over continuation bytes (10xxxxxx) to the start of the cut character.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text;
}

std::string EscapeControls(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    unsigned int control = 0x100;  // none
    if (byte < 0x20 || byte == 0x7F) {
      control = byte;
    } else if (byte == 0xC2 && i + 1 < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        control = next;
        ++i;
      }
    }
    if (control == 0x100) {
      out += static_cast<char>(byte);
      continue;
    }
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\x%02X", control);
    out += escape;
  }
  return out;
}

std::string FormatLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int needed = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string line;
  if (needed > 0) {
    std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, again);
    line.assign(buffer.data(), static_cast<std::size_t>(needed));
  }
  va_end(again);
  return CutUtf8(std::move(line), MAX_LOG_LINE);
}

}  // namespace tovrin
