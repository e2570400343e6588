#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tovrin {

// Texts of extended messages: UTF-8, with '/' as the only path separator, so every name a
// Linux file system holds in UTF-8 travels unchanged ('\' and ':' are ordinary characters).
// Received names keep every safety rule of classic names (see WireNameToLocal).

// True when every byte belongs to a well-formed UTF-8 character (no overlong forms, no
// surrogates, nothing above U+10FFFF).
[[nodiscard]] bool IsValidUtf8(std::string_view text);

// The text with every byte that starts no well-formed character written as `substitute`.
[[nodiscard]] std::string Utf8Lossy(std::string_view text, char substitute);

// A chat line as an extended chat text: up to its first NUL, malformed bytes as '?', cut to
// MAX_EXT_CHAT bytes without splitting a character.
[[nodiscard]] std::string ExtChatText(std::string_view utf8);

// A received name as a safe relative local path. nullopt when it is empty, absolute (leading
// '/'), not UTF-8, has a control character (C0, DEL or C1), a ".." component, a component
// longer than a file name can be, or more than MAX_WIRE_DEPTH components. Empty and "."
// components are dropped.
[[nodiscard]] std::optional<std::string> ExtNameToLocal(std::string_view name);

// A received folder text as a relative local directory ending in '/' (or empty): leading
// separators are dropped, otherwise the rules of a name hold.
[[nodiscard]] std::optional<std::string> ExtFolderToLocal(std::string_view folder);

// True when a queued item (relative, '/' separators) can be offered under its own name: a
// receiver takes it exactly as it stands.
[[nodiscard]] bool IsSendableExtName(std::string_view relative);

// A local directory (ending in '/') as the folder text of MSG_EXT_FOLDER: only the name of
// its innermost folder with a trailing '/' ("/home/u/photos/" gives "photos/"), malformed
// bytes and control characters as '_'; empty for the root, "." and "..".
[[nodiscard]] std::string LocalToExtFolder(std::string_view directory);

}  // namespace tovrin
