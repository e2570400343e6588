#include "nearby/txt_records.h"

#include <cctype>

namespace tovrin {

namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";
constexpr std::string_view HEX_DIGITS = "0123456789abcdef";

// The code point at the start of `text` and its length in bytes; length 0 when the bytes
// there are not valid UTF-8 (overlong forms, surrogates and values past U+10FFFF included).
struct Decoded {
  char32_t code = 0;
  std::size_t length = 0;
};
Decoded DecodeUtf8(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) return {lead, 1};
  std::size_t length = 0;
  char32_t code = 0;
  char32_t least = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, code = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code = lead & 0x07, least = 0x10000;
  } else {
    return {};
  }
  if (text.size() < length) return {};
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xC0) != 0x80) return {};
    code = (code << 6) | (next & 0x3F);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return {};
  return {code, length};
}

// Controls and the characters that reorder text around them (embeddings, overrides,
// isolates, marks), which could make a shown name read as something else.
bool Unsafe(char32_t code) {
  return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x061C ||
         (code >= 0x200E && code <= 0x200F) || (code >= 0x202A && code <= 0x202E) ||
         (code >= 0x2066 && code <= 0x2069);
}

// `text` (valid UTF-8) cut to at most `limit` bytes without splitting a character.
std::string CutAtCharacter(std::string text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text;
}

std::optional<NearbyKey> ParseKeyHash(std::string_view hex) {
  NearbyKey key{};
  if (hex.size() != key.size() * 2) return std::nullopt;
  for (std::size_t i = 0; i < hex.size(); ++i) {
    const auto digit =
        HEX_DIGITS.find(static_cast<char>(std::tolower(static_cast<unsigned char>(hex[i]))));
    if (digit == std::string_view::npos) return std::nullopt;
    key[i / 2] = static_cast<uint8_t>((key[i / 2] << 4) | digit);
  }
  return key;
}

bool SameKey(std::string_view key, std::string_view lower) {
  if (key.size() != lower.size()) return false;
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(key[i])) != lower[i]) return false;
  }
  return true;
}

int ParseVersion(std::string_view text) {
  if (text.empty() || text.size() > 6) return 0;
  int version = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 0;
    version = version * 10 + (c - '0');
  }
  return version;
}

}  // namespace

std::string CleanName(std::string_view text) {
  std::string clean;
  clean.reserve(text.size());
  while (!text.empty()) {
    const Decoded decoded = DecodeUtf8(text);
    if (decoded.length == 0) {
      clean += REPLACEMENT;
      text.remove_prefix(1);
      continue;
    }
    if (Unsafe(decoded.code)) {
      clean += REPLACEMENT;
    } else {
      clean += text.substr(0, decoded.length);
    }
    text.remove_prefix(decoded.length);
  }
  return clean;
}

std::string InstanceNameFor(std::string_view name) {
  std::string instance = CutAtCharacter(CleanName(name), NEARBY_INSTANCE_MAX);
  return instance.empty() ? "Tovrin" : instance;
}

std::vector<std::string> TxtRecords(const Announcement& announcement) {
  std::vector<std::string> records{"v=" + std::to_string(announcement.version)};
  if (announcement.key_hash) {
    std::string hex = "kh=";
    for (const uint8_t byte : *announcement.key_hash) {
      hex += HEX_DIGITS[byte >> 4];
      hex += HEX_DIGITS[byte & 0x0F];
    }
    records.push_back(std::move(hex));
  }
  records.push_back("name=" + CutAtCharacter(CleanName(announcement.name), NEARBY_NAME_MAX));
  return records;
}

AnnouncedFields ParseTxtRecords(const std::vector<std::string>& records) {
  AnnouncedFields fields;
  bool seen_version = false;
  bool seen_key = false;
  bool seen_name = false;
  for (const std::string& record : records) {
    const auto equals = record.find('=');
    if (equals == std::string::npos) continue;
    const std::string_view key = std::string_view(record).substr(0, equals);
    const std::string_view value = std::string_view(record).substr(equals + 1);
    if (SameKey(key, "v") && !seen_version) {
      seen_version = true;
      fields.version = ParseVersion(value);
    } else if (SameKey(key, "kh") && !seen_key) {
      seen_key = true;
      fields.key_hash = ParseKeyHash(value);
    } else if (SameKey(key, "name") && !seen_name) {
      seen_name = true;
      fields.name = CleanName(value);
    }
  }
  return fields;
}

}  // namespace tovrin
