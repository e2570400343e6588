#include "protocol/wire_text.h"
// Placeholder until the wire text lands.
namespace tovrin {
bool IsLeadByte(unsigned char) { return false; }
std::optional<std::string> Utf8ToCp932(std::string_view) { return std::nullopt; }
std::string Utf8ToCp932Lossy(std::string_view, char) { return {}; }
std::optional<std::string> Cp932ToUtf8(std::string_view) { return std::nullopt; }
std::string Cp932ToUtf8Lossy(std::string_view) { return {}; }
std::string_view PayloadText(const char*, int) { return {}; }
std::optional<std::string> LocalToWireName(std::string_view) { return std::nullopt; }
std::string LocalToWireFolder(std::string_view) { return {}; }
std::optional<std::string> WireNameToLocal(std::string_view) { return std::nullopt; }
std::optional<std::string> WireFolderToLocal(std::string_view) { return std::nullopt; }
}  // namespace tovrin
