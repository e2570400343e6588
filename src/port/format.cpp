#include "port/format.h"

#include <cstdarg>
#include <cstdio>
#include <utility>
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

namespace {

// The code point of the character at `text[i]` when it is a control or a format character
// that changes how text around it is ordered or broken into lines (the bidirectional marks,
// embeddings, overrides and isolates, U+2028 and U+2029), with its length in bytes; else
// length 0. Text that is not valid UTF-8 is taken byte by byte.
struct Hidden {
  unsigned int code_point = 0;
  std::size_t length = 0;
};

Hidden HiddenAt(const std::string& text, std::size_t i) {
  const auto at = [&](std::size_t k) {
    return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u;
  };
  const unsigned int byte = at(0);
  if (byte < 0x20 || byte == 0x7F) return {byte, 1};
  // U+0080-U+009F, and U+061C ARABIC LETTER MARK.
  if (byte == 0xC2 && at(1) >= 0x80 && at(1) <= 0x9F) return {at(1), 2};
  if (byte == 0xD8 && at(1) == 0x9C) return {0x061C, 2};
  if (byte != 0xE2 || (at(1) != 0x80 && at(1) != 0x81) || (at(2) & 0xC0) != 0x80) return {};
  const unsigned int code_point = 0x2000 | ((at(1) & 0x3F) << 6) | (at(2) & 0x3F);
  if (code_point == 0x200E || code_point == 0x200F ||
      (code_point >= 0x2028 && code_point <= 0x202E) ||
      (code_point >= 0x2066 && code_point <= 0x2069)) {
    return {code_point, 3};
  }
  return {};
}

}  // namespace

std::string EscapeControls(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const Hidden hidden = HiddenAt(text, i);
    if (hidden.length == 0) {
      out += text[i++];
      continue;
    }
    char escape[12];
    std::snprintf(escape, sizeof escape, hidden.code_point > 0xFF ? "\\x%04X" : "\\x%02X",
                  hidden.code_point);
    out += escape;
    i += hidden.length;
  }
  return out;
}

namespace {

std::string FormatArguments(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  const int needed = std::vsnprintf(nullptr, 0, format, args);
  std::string line;
  if (needed > 0) {
    std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, again);
    line.assign(buffer.data(), static_cast<std::size_t>(needed));
  }
  va_end(again);
  return CutUtf8(std::move(line), MAX_LOG_LINE);
}

}  // namespace

std::string FormatLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = FormatArguments(format, args);
  va_end(args);
  return line;
}

std::string FormatCheckedLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = FormatArguments(format, args);
  va_end(args);
  return line;
}

std::string FormatCount(uint64_t count) {
  const std::string digits = std::to_string(count);
  std::string grouped;
  grouped.reserve(digits.size() + digits.size() / 3);
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

namespace {

// A size's number and its unit, apart, so that a done part in the total's unit can leave
// its own unit out ("1.2 / 3.4 GB").
std::pair<std::string, std::string> SizeParts(uint64_t bytes) {
  static const char* const UNITS[] = {"B", "kB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  // 999.5 would round to "1000": it is shown as the next unit's "1.0".
  while (unit + 1 < std::size(UNITS) && value >= 999.5) {
    value /= 1000;
    ++unit;
  }
  char number[32];
  std::snprintf(number, sizeof number, unit > 0 && value < 9.95 ? "%.1f" : "%.0f", value);
  return {number, UNITS[unit]};
}

}  // namespace

std::string FormatBytes(uint64_t bytes) {
  auto [number, unit] = SizeParts(bytes);
  return number.append(" ").append(unit);
}

std::string FormatDuration(uint64_t seconds) {
  char text[48];
  if (seconds < 3600) {
    std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                  static_cast<unsigned long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu",
                  static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned long long>(seconds / 60 % 60),
                  static_cast<unsigned long long>(seconds % 60));
  }
  return text;
}

std::string FormatBatchProgress(const BatchFigures& figures) {
  const bool totals = figures.files_total > 0;
  std::string line;
  std::string bytes = FormatBytes(figures.bytes_done);
  if (totals) {
    line = FormatLine(text::BATCH_FILES_OF, FormatCount(figures.files_done).c_str(),
                      FormatCount(figures.files_total).c_str());
    const auto [done, done_unit] = SizeParts(figures.bytes_done);
    const auto [total, total_unit] = SizeParts(figures.bytes_total);
    bytes = (done_unit == total_unit ? done : FormatBytes(figures.bytes_done)) + " / " + total +
            " " + total_unit;
  } else {
    line = FormatLine(text::BATCH_FILES, FormatCount(figures.files_done).c_str());
  }
  line += " · " + bytes;
  if (figures.bytes_per_second == 0) return line;
  line += " · " + FormatBytes(figures.bytes_per_second) + "/s";
  if (totals) {
    const uint64_t left =
        figures.bytes_total > figures.bytes_done ? figures.bytes_total - figures.bytes_done : 0;
    line += " · " + FormatDuration(left / figures.bytes_per_second);
  }
  return line;
}

std::string FormatBatchSummary(uint64_t files, uint64_t bytes, uint64_t seconds,
                               uint64_t bytes_per_second) {
  return FormatLine(text::BATCH_SUMMARY, FormatCount(files).c_str(), FormatBytes(bytes).c_str(),
                    FormatDuration(seconds).c_str(),
                    (FormatBytes(bytes_per_second) + "/s").c_str());
}

}  // namespace tovrin
