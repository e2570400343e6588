#include "protocol/wire_text.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace tovrin {
namespace {

constexpr char WIRE_CODE[] = "CP932";
constexpr char LOCAL_CODE[] = "UTF-8";

// glibc's CP932 table folds two characters onto ASCII bytes: U+00A5 (yen) onto 0x5C, the
// path separator, and U+203E (overline) onto 0x7E. Such a character would reach the peer as
// another character, so it counts as one that cp932 lacks.
constexpr std::string_view FOLDED_TO_ASCII[] = {"\xC2\xA5", "\xE2\x80\xBE"};

// One conversion descriptor per call: an iconv_t holds shift state and must not be shared
// between the threads that convert at the same time.
class Converter final {
 public:
  Converter(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) ::iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // iconv_open reports failure as (iconv_t)-1.
  [[nodiscard]] bool ok() const {
    return cd_ != reinterpret_cast<iconv_t>(-1);  // NOLINT(performance-no-int-to-ptr)
  }

  // Converts as much of `in` as it can, appending to `out`. Returns the bytes consumed and
  // sets `error` to 0 when all of `in` was converted, else EILSEQ or EINVAL.
  size_t Run(std::string_view in, std::string& out, int& error) {
    ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    auto* in_ptr = const_cast<char*>(in.data());
    size_t in_left = in.size();
    error = 0;
    while (in_left > 0) {
      char buffer[1024];
      char* out_ptr = buffer;
      size_t out_left = sizeof buffer;
      const size_t result = ::iconv(cd_, &in_ptr, &in_left, &out_ptr, &out_left);
      const int saved = errno;
      out.append(buffer, static_cast<size_t>(out_ptr - buffer));
      if (result != static_cast<size_t>(-1)) continue;
      if (saved == E2BIG) continue;
      error = saved == EINVAL ? EINVAL : EILSEQ;
      break;
    }
    return in.size() - in_left;
  }

 private:
  iconv_t cd_;
};

std::optional<std::string> ConvertStrict(const char* to, const char* from, std::string_view in) {
  Converter converter(to, from);
  if (!converter.ok()) return std::nullopt;
  std::string out;
  int error = 0;
  converter.Run(in, out, error);
  if (error != 0) return std::nullopt;
  return out;
}

// The length of the malformed or unmappable UTF-8 character at the start of `text`: its
// lead byte and the continuation bytes that follow, at least one byte.
size_t Utf8SkipLength(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  size_t length = 1;
  if (lead >= 0xC2 && lead <= 0xDF)
    length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF)
    length = 3;
  else if (lead >= 0xF0 && lead <= 0xF4)
    length = 4;
  size_t skip = 1;
  while (skip < length && skip < text.size() &&
         (static_cast<unsigned char>(text[skip]) & 0xC0) == 0x80) {
    ++skip;
  }
  return skip;
}

// Converts `in`, writing `substitute` for every sequence that cannot be converted.
void ConvertLossy(Converter& converter, std::string_view in, char substitute, bool utf8_input,
                  std::string& out) {
  while (!in.empty()) {
    int error = 0;
    in.remove_prefix(converter.Run(in, out, error));
    if (error == 0) return;
    out += substitute;
    if (error == EINVAL) return;  // cut off at the end
    in.remove_prefix(utf8_input ? Utf8SkipLength(in) : 1);
  }
}

// The position of the first character of FOLDED_TO_ASCII in `utf8`, and its length.
size_t FindFolded(std::string_view utf8, size_t& length) {
  size_t first = std::string_view::npos;
  for (const std::string_view folded : FOLDED_TO_ASCII) {
    const size_t at = utf8.find(folded);
    if (at < first) {
      first = at;
      length = folded.size();
    }
  }
  return first;
}

// Splits cp932 text at every '\' or '/' that is not a trail byte. Empty and "." components
// are dropped; false when a ".." component is found.
bool SplitWirePath(std::string_view wire, std::vector<std::string_view>& components) {
  size_t start = 0;
  size_t i = 0;
  const auto take = [&](size_t end) {
    const std::string_view component = wire.substr(start, end - start);
    if (component == "..") return false;
    if (!component.empty() && component != ".") components.push_back(component);
    return true;
  };
  while (i < wire.size()) {
    const auto byte = static_cast<unsigned char>(wire[i]);
    if (IsLeadByte(byte)) {
      i += 2;
      continue;
    }
    if (byte == '\\' || byte == '/') {
      if (!take(i)) return false;
      start = i + 1;
    }
    ++i;
  }
  return take(wire.size());
}

// Received text as local components: nullopt for invalid cp932, a NUL (which would cut the
// local path short) or a ".." component.
std::optional<std::vector<std::string>> WireComponents(std::string_view wire) {
  if (wire.find('\0') != std::string_view::npos) return std::nullopt;
  if (!Cp932ToUtf8(wire)) return std::nullopt;
  std::vector<std::string_view> parts;
  if (!SplitWirePath(wire, parts)) return std::nullopt;
  std::vector<std::string> local;
  for (const std::string_view part : parts) {
    auto converted = Cp932ToUtf8(part);
    if (!converted) return std::nullopt;
    local.push_back(std::move(*converted));
  }
  return local;
}

}  // namespace

bool IsLeadByte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

std::optional<std::string> Utf8ToCp932(std::string_view utf8) {
  size_t length = 0;
  if (FindFolded(utf8, length) != std::string_view::npos) return std::nullopt;
  return ConvertStrict(WIRE_CODE, LOCAL_CODE, utf8);
}

std::string Utf8ToCp932Lossy(std::string_view utf8, char substitute) {
  std::string out;
  Converter converter(WIRE_CODE, LOCAL_CODE);
  if (!converter.ok()) return out;
  while (!utf8.empty()) {
    size_t length = 0;
    const size_t folded = FindFolded(utf8, length);
    ConvertLossy(converter, utf8.substr(0, folded), substitute, true, out);
    if (folded == std::string_view::npos) break;
    out += substitute;
    utf8.remove_prefix(folded + length);
  }
  return out;
}

std::optional<std::string> Cp932ToUtf8(std::string_view cp932) {
  return ConvertStrict(LOCAL_CODE, WIRE_CODE, cp932);
}

std::string Cp932ToUtf8Lossy(std::string_view cp932) {
  std::string out;
  Converter converter(LOCAL_CODE, WIRE_CODE);
  if (converter.ok()) ConvertLossy(converter, cp932, '?', false, out);
  return out;
}

std::string_view PayloadText(const char* payload, int length) {
  if (payload == nullptr || length <= 0) return {};
  const auto size = static_cast<size_t>(length);
  const void* nul = std::memchr(payload, '\0', size);
  return std::string_view(payload, nul != nullptr ? static_cast<const char*>(nul) - payload : size);
}

std::optional<std::string> LocalToWireName(std::string_view relative) {
  if (relative.empty() || relative.find('\\') != std::string_view::npos) return std::nullopt;
  auto wire = Utf8ToCp932(relative);
  if (!wire) return std::nullopt;
  // 0x2F is never a trail byte in cp932 (those start at 0x40), so this touches separators
  // only.
  for (char& byte : *wire) {
    if (byte == '/') byte = '\\';
  }
  return wire;
}

std::string LocalToWireFolder(std::string_view directory) {
  // The folder text is only a label for the receiver's subfolder: a ':' or a '\' inside a
  // component becomes '_' rather than a drive mark or an extra level on the other side.
  std::string label(directory);
  for (char& byte : label) {
    if (byte == ':' || byte == '\\') byte = '_';
  }
  std::string wire = Utf8ToCp932Lossy(label, '_');
  for (char& byte : wire) {
    if (byte == '/') byte = '\\';
  }
  return wire;
}

std::optional<std::string> WireNameToLocal(std::string_view wire) {
  if (wire.empty() || wire.front() == '\\' || wire.front() == '/') return std::nullopt;
  if (wire.size() >= 2 && wire[1] == ':' && !IsLeadByte(static_cast<unsigned char>(wire[0]))) {
    return std::nullopt;  // "X:" names a drive on the sender's side
  }
  const auto components = WireComponents(wire);
  if (!components || components->empty()) return std::nullopt;
  std::string local;
  for (const std::string& component : *components) {
    if (!local.empty()) local += '/';
    local += component;
  }
  return local;
}

std::optional<std::string> WireFolderToLocal(std::string_view wire) {
  const auto components = WireComponents(wire);
  if (!components) return std::nullopt;
  std::string local;
  for (const std::string& component : *components) local += component + '/';
  return local;
}

}  // namespace tovrin
