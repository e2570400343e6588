#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "port/texts.h"

namespace tovrin {

// Longest log line in bytes; longer lines are cut at a character boundary. Room for a whole
// wire text of 1,023 cp932 bytes shown in UTF-8 (a one-byte half-width katakana takes three)
// and the words around it, so a chat line is shown as whole as it was sent.
inline constexpr std::size_t MAX_LOG_LINE = 4095;

// printf into a std::string, cut to MAX_LOG_LINE bytes without splitting a UTF-8 character.
[[nodiscard]] std::string FormatLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// FormatLine for a catalogue's format, which the compiler cannot see: FormatLine(Text, ...)
// hands it only values of the types its conversions were checked against as the catalogue
// was compiled.
[[nodiscard]] std::string FormatCheckedLine(const char* format, ...);

// A line in the active catalogue's words, `values` converted to the types the text's
// conversions take.
template <class... Params>
[[nodiscard]] std::string FormatLine(Text<Params...> text, std::type_identity_t<Params>... values) {
  return FormatCheckedLine(text.get(), values...);
}

// The text with every control character (C0, DEL and the C1 range U+0080-U+009F) and every
// character that reorders or breaks the text around it (U+061C, U+200E, U+200F,
// U+202A-U+202E, U+2066-U+2069, U+2028, U+2029) written as a visible escape of its code point,
// "\xNN" or "\xNNNN": a peer's text can then neither start a line of its own in a log, nor
// drive a terminal, nor show a name in an order other than the one it has.
[[nodiscard]] std::string EscapeControls(const std::string& text);

// Cuts UTF-8 text to at most `limit` bytes without splitting a character.
[[nodiscard]] std::string CutUtf8(std::string text, std::size_t limit);

// Counts and sizes as the batch's progress words show them: a count with thousands separators
// ("2,000"); bytes in decimal units B, kB, MB, GB, TB, with one decimal below ten of the unit
// ("512 B", "1.2 GB", "85 MB"); seconds as m:ss or h:mm:ss ("0:27", "1:02:03").
[[nodiscard]] std::string FormatCount(uint64_t count);
[[nodiscard]] std::string FormatBytes(uint64_t bytes);
[[nodiscard]] std::string FormatDuration(uint64_t seconds);

// One direction's running batch. Totals of 0 files are not known (a classic session, or no
// announcement yet); a rate of 0 is not known yet.
struct BatchFigures final {
  uint64_t files_done = 0;
  uint64_t files_total = 0;
  uint64_t bytes_done = 0;
  uint64_t bytes_total = 0;
  uint64_t bytes_per_second = 0;
};

// The batch's progress in the active catalogue's words: "12 / 2,000 files · 1.2 / 3.4 GB ·
// 85 MB/s · 0:27" (the time left from the bytes left at the rate), or without totals
// "12 files · 1.2 GB · 85 MB/s".
[[nodiscard]] std::string FormatBatchProgress(const BatchFigures& figures);

// The log line at a batch's end: files and bytes done, how long it took, the rate.
[[nodiscard]] std::string FormatBatchSummary(uint64_t files, uint64_t bytes, uint64_t seconds,
                                             uint64_t bytes_per_second);

}  // namespace tovrin
