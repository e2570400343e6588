#include "protocol/wire_text.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "protocol/frame.h"

namespace tovrin {
namespace {

constexpr char WIRE_CODE[] = "CP932";
constexpr char LOCAL_CODE[] = "UTF-8";

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

// The first '\\' in cp932 text that is not a trail byte, or npos.
size_t FindSeparator(std::string_view wire) {
  for (size_t i = 0; i < wire.size(); ++i) {
    const auto byte = static_cast<unsigned char>(wire[i]);
    if (IsLeadByte(byte)) {
      ++i;
    } else if (byte == '\\') {
      return i;
    }
  }
  return std::string_view::npos;
}

// The '\\' bytes in cp932 text that are not trail bytes.
size_t CountSeparators(std::string_view wire) {
  size_t count = 0;
  for (size_t i = 0; i < wire.size(); ++i) {
    const auto byte = static_cast<unsigned char>(wire[i]);
    if (IsLeadByte(byte)) {
      ++i;
    } else if (byte == '\\') {
      ++count;
    }
  }
  return count;
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

// A control byte in a name would reach file names, terminals and log lines: a newline forges
// a log line, an escape sequence drives the terminal. 0x7F is never a cp932 trail byte, and
// trail bytes start at 0x40, so a byte test suffices.
bool HasControlByte(std::string_view wire) {
  return std::any_of(wire.begin(), wire.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
}

// Received text as local components: nullopt for text longer than the wire's texts, invalid
// cp932, a control byte (NUL included, which would cut the local path short), a ".."
// component, or more components than one offer may create directories for.
std::optional<std::vector<std::string>> WireComponents(std::string_view wire) {
  if (wire.size() >= static_cast<size_t>(MAX_TEXT) || HasControlByte(wire)) return std::nullopt;
  if (!Cp932ToUtf8(wire)) return std::nullopt;
  std::vector<std::string_view> parts;
  if (!SplitWirePath(wire, parts) || parts.size() > MAX_WIRE_DEPTH) return std::nullopt;
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
  // glibc's CP932 table folds several characters onto the code of another one (¥ onto the
  // separator 0x5C, 〜 onto ～, ‖ onto ∥, ...). A name that does not convert back to itself
  // would reach the peer as another name, and two local names could meet in one wire name.
  auto wire = ConvertStrict(WIRE_CODE, LOCAL_CODE, utf8);
  if (!wire) return std::nullopt;
  const auto back = ConvertStrict(LOCAL_CODE, WIRE_CODE, *wire);
  if (!back || *back != utf8) return std::nullopt;
  return wire;
}

std::string Utf8ToCp932Lossy(std::string_view utf8, char substitute) {
  // Character by character, so that one which only converts to another character's code
  // is substituted like one that does not convert at all.
  std::string out;
  Converter to_wire(WIRE_CODE, LOCAL_CODE);
  Converter to_local(LOCAL_CODE, WIRE_CODE);
  if (!to_wire.ok() || !to_local.ok()) return out;
  while (!utf8.empty()) {
    const std::string_view character = utf8.substr(0, Utf8SkipLength(utf8));
    utf8.remove_prefix(character.size());
    std::string wire;
    std::string back;
    int error = 0;
    to_wire.Run(character, wire, error);
    if (error == 0) to_local.Run(wire, back, error);
    if (error == 0 && back == character) {
      out += wire;
    } else {
      out += substitute;
    }
  }
  return out;
}

std::string ChatTextToWire(std::string_view utf8) {
  // The wire's text ends at its NUL: a NUL typed into the line ends what is sent.
  utf8 = utf8.substr(0, utf8.find('\0'));
  std::string wire;
  Converter converter(WIRE_CODE, LOCAL_CODE);
  if (converter.ok()) ConvertLossy(converter, utf8, '?', true, wire);
  return CutCp932(std::move(wire), MAX_TEXT - 1);
}

std::string CutCp932(std::string text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = 0;
  while (end < limit) {
    const std::size_t step = IsLeadByte(static_cast<unsigned char>(text[end])) ? 2 : 1;
    if (end + step > limit) break;
    end += step;
  }
  text.resize(end);
  return text;
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
  // Longer or deeper than a receiver takes: the innermost folders are the ones that tell the
  // user where a file belongs, so leading components go, at separators, and the trailing
  // '\\' stays. Every '\\' here separates: one inside a name became '_' above.
  std::string_view kept = wire;
  while (kept.size() > static_cast<size_t>(MAX_TEXT - 1) ||
         CountSeparators(kept) > MAX_WIRE_DEPTH) {
    const size_t separator = FindSeparator(kept.substr(0, kept.size() - 1));
    kept = separator == std::string_view::npos ? std::string_view() : kept.substr(separator + 1);
  }
  return std::string(kept);
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
