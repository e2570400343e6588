#include "protocol/ext_text.h"

#include <vector>

#include "protocol/extended.h"
#include "protocol/wire_text.h"

namespace tovrin {
namespace {

// The longest file name component a Linux file system takes.
constexpr size_t MAX_COMPONENT = 255;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the well-formed character at `i`, or 0 when the byte there starts none.
size_t CharacterLength(std::string_view text, size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80;  // the range of the second byte, narrowed for some leads
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  const auto second = static_cast<unsigned char>(text[i + 1]);
  if (second < low || second > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (!IsContinuation(static_cast<unsigned char>(text[i + k]))) return 0;
  }
  return length;
}

// C0 controls, DEL and the C1 range U+0080-U+009F (encoded C2 80 to C2 9F).
bool IsControl(std::string_view text, size_t i, size_t length) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (length == 1) return lead < 0x20 || lead == 0x7F;
  return length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
}

// Splits a received path at '/', dropping empty and "." components; nullopt when it breaks a
// rule of received names.
std::optional<std::vector<std::string_view>> Components(std::string_view text) {
  if (text.size() >= static_cast<size_t>(MAX_EXT_TEXT)) return std::nullopt;
  for (size_t i = 0; i < text.size();) {
    const size_t length = CharacterLength(text, i);
    if (length == 0 || IsControl(text, i, length)) return std::nullopt;
    i += length;
  }
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (size_t end = 0; end <= text.size(); ++end) {
    if (end < text.size() && text[end] != '/') continue;
    const std::string_view part = text.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == ".." || part.size() > MAX_COMPONENT) return std::nullopt;
    parts.push_back(part);
  }
  if (parts.size() > MAX_WIRE_DEPTH) return std::nullopt;
  return parts;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t length = CharacterLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string Utf8Lossy(std::string_view text, char substitute) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t length = CharacterLength(text, i);
    if (length == 0) {
      out += substitute;
      ++i;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out;
}

std::string ExtChatText(std::string_view utf8) {
  std::string text = Utf8Lossy(utf8.substr(0, utf8.find('\0')), '?');
  if (text.size() <= static_cast<size_t>(MAX_EXT_CHAT)) return text;
  size_t end = MAX_EXT_CHAT;
  while (end > 0 && IsContinuation(static_cast<unsigned char>(text[end]))) --end;
  text.resize(end);
  return text;
}

std::optional<std::string> ExtNameToLocal(std::string_view name) {
  if (name.empty() || name.front() == '/') return std::nullopt;
  const auto parts = Components(name);
  if (!parts || parts->empty()) return std::nullopt;
  std::string local;
  for (const std::string_view part : *parts) {
    if (!local.empty()) local += '/';
    local += part;
  }
  return local;
}

std::optional<std::string> ExtFolderToLocal(std::string_view folder) {
  const auto parts = Components(folder);
  if (!parts) return std::nullopt;
  std::string local;
  for (const std::string_view part : *parts) {
    local += part;
    local += '/';
  }
  return local;
}

bool IsSendableExtName(std::string_view relative) {
  const std::optional<std::string> local = ExtNameToLocal(relative);
  return local && *local == relative;
}

std::string LocalToExtFolder(std::string_view directory) {
  // Only the name of the innermost folder travels: where it lies on the sender's disk is no
  // business of the peer's.
  const size_t end = directory.find_last_not_of('/');
  if (end == std::string_view::npos) return std::string();
  const size_t slash = directory.rfind('/', end);
  const size_t start = slash == std::string_view::npos ? 0 : slash + 1;
  const std::string_view name = directory.substr(start, end + 1 - start);
  std::string label;
  label.reserve(name.size() + 1);
  for (size_t i = 0; i < name.size();) {
    const size_t length = CharacterLength(name, i);
    if (length == 0 || IsControl(name, i, length)) {
      label += '_';
      i += length == 0 ? 1 : length;
    } else {
      label.append(name, i, length);
      i += length;
    }
  }
  label += '/';
  // "." and ".." name no folder of their own: no label rather than one a receiver refuses.
  return ExtFolderToLocal(label) == label ? label : std::string();
}

}  // namespace tovrin
