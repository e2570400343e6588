#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tovrin {

// Text on the wire is cp932 (Shift-JIS) with '\' as the path separator; inside the program
// every text is UTF-8 and local paths use '/'. Every conversion between the two happens here.

// True for the first byte of a two-byte cp932 character: 0x81-0x9F and 0xE0-0xFC. Its trail
// byte is never read on its own, so the 0x5C inside 表 (0x95 0x5C) is no separator.
[[nodiscard]] bool IsLeadByte(unsigned char byte);

// UTF-8 to cp932; nullopt when a character has no cp932 form or the input is not UTF-8.
[[nodiscard]] std::optional<std::string> Utf8ToCp932(std::string_view utf8);
// UTF-8 to cp932, writing `substitute` for every character cp932 lacks.
[[nodiscard]] std::string Utf8ToCp932Lossy(std::string_view utf8, char substitute);
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
// cp932 with '\' separators, every ':' replaced by '_', characters cp932 lacks as '_'.
[[nodiscard]] std::string LocalToWireFolder(std::string_view directory);

// A received offer name as a safe relative local path ("a/b.txt"). nullopt when it is not
// valid cp932, is empty, absolute (leading '\' or '/'), drive-qualified ("X:") or has a ".."
// component. Both '\' (when it is no trail byte) and '/' separate components; empty and "."
// components are dropped.
[[nodiscard]] std::optional<std::string> WireNameToLocal(std::string_view wire);

// A received folder text as a relative local directory ending in '/' (or empty). Leading
// separators are dropped; nullopt when it is not valid cp932 or has a ".." component.
[[nodiscard]] std::optional<std::string> WireFolderToLocal(std::string_view wire);

}  // namespace tovrin
