#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tovrin {

// Text on the wire is cp932 (Shift-JIS) with '\' as the path separator; inside the program
// every text is UTF-8 and local paths use '/'. Every conversion between the two happens here.

// True for the first byte of a two-byte cp932 character: 0x81-0x9F and 0xE0-0xFC. Its trail
// byte is never read on its own, so the 0x5C inside 表 (0x95 0x5C) is no separator.
[[nodiscard]] bool IsLeadByte(unsigned char byte);

// Most components a received name or folder text may have: one offer never makes more
// directories than the two together.
inline constexpr std::size_t MAX_WIRE_DEPTH = 64;

// UTF-8 to cp932; nullopt when the input is not UTF-8 or a character has no cp932 form that
// converts back to the same character (cp932 folds several onto one code).
[[nodiscard]] std::optional<std::string> Utf8ToCp932(std::string_view utf8);
// UTF-8 to cp932, writing `substitute` for every character that Utf8ToCp932 would refuse.
[[nodiscard]] std::string Utf8ToCp932Lossy(std::string_view utf8, char substitute);
// A chat line as the wire's text: up to its first NUL, '?' for characters cp932 lacks (a
// character cp932 folds goes as the code Windows peers send for it, ¥ as 0x5C), cut to
// MAX_TEXT - 1 bytes without splitting a character.
[[nodiscard]] std::string ChatTextToWire(std::string_view utf8);
// Cuts cp932 text to at most `limit` bytes without splitting a two-byte character.
[[nodiscard]] std::string CutCp932(std::string text, std::size_t limit);
// cp932 to UTF-8; nullopt when the bytes are not valid cp932.
[[nodiscard]] std::optional<std::string> Cp932ToUtf8(std::string_view cp932);
// cp932 to UTF-8 for display: invalid bytes become '?'.
[[nodiscard]] std::string Cp932ToUtf8Lossy(std::string_view cp932);

// The text of a payload up to its first NUL, or all of it when it holds none.
[[nodiscard]] std::string_view PayloadText(const char* payload, int length);

// A local relative path (UTF-8, '/' separators) as the wire name of an offer (cp932, '\'
// separators). nullopt when it cannot be written in cp932 or a component holds a '\', which
// the peer would take for a separator: such a file is never sent under a mangled name.
[[nodiscard]] std::optional<std::string> LocalToWireName(std::string_view relative);

// A local directory (UTF-8, '/' separators, ending in '/') as the folder text of MSG_FOLDER:
// cp932 with '\' separators, every ':' and '\' in a name replaced by '_', characters cp932
// lacks as '_'. Longer than MAX_TEXT - 1 bytes, it loses leading components (the innermost
// folders stay) and keeps its trailing '\'.
[[nodiscard]] std::string LocalToWireFolder(std::string_view directory);

// A received offer name as a safe relative local path ("a/b.txt"). nullopt when it is not
// valid cp932, is empty, absolute (leading '\' or '/'), drive-qualified ("X:"), has a ".."
// component or a control byte (below 0x20, or 0x7F), is MAX_TEXT bytes or longer, or has
// more than MAX_WIRE_DEPTH components. Both '\' (when it is no trail byte) and '/' separate
// components; empty and "." components are dropped.
[[nodiscard]] std::optional<std::string> WireNameToLocal(std::string_view wire);

// A received folder text as a relative local directory ending in '/' (or empty). Leading
// separators are dropped; nullopt on the same grounds as a name, emptiness and a leading
// separator aside.
[[nodiscard]] std::optional<std::string> WireFolderToLocal(std::string_view wire);

}  // namespace tovrin
