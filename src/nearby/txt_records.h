#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovrin {

// The DNS-SD service type a waiting Tovrin announces and a connecting one browses.
inline constexpr const char* NEARBY_SERVICE_TYPE = "_tovrin._tcp";
// Longest DNS-SD instance name in bytes (one DNS label).
inline constexpr std::size_t NEARBY_INSTANCE_MAX = 63;
// Longest announced name in bytes: a TXT string holds 255 bytes, "name=" takes five.
inline constexpr std::size_t NEARBY_NAME_MAX = 250;

// A key hash as the secure layer has it (SHA-256 of the public key), same layout as KeyHash.
using NearbyKey = std::array<uint8_t, 32>;

// What a waiting side announces: its listening port, the extended wire version its hello
// announces, its key hash (none when it has no usable key) and the installation's name.
struct Announcement {
  uint16_t port = 0;
  int version = 0;
  std::optional<NearbyKey> key_hash;
  std::string name;
};

// What a peer's TXT records say; fields it cannot read are left empty.
struct AnnouncedFields {
  int version = 0;                    // 0: absent or not a number
  std::optional<NearbyKey> key_hash;  // absent unless exactly 64 hex digits
  std::string name;                   // cleaned as CleanName does; empty when absent
};

// The TXT strings ("key=value") for `announcement`: v, kh (when there is a key) and name,
// the name cleaned and cut to NEARBY_NAME_MAX bytes at a character boundary.
[[nodiscard]] std::vector<std::string> TxtRecords(const Announcement& announcement);
// Reads TXT strings as a peer sent them: keys without regard to case, the first of a key
// counts, unknown keys and strings without '=' are ignored.
[[nodiscard]] AnnouncedFields ParseTxtRecords(const std::vector<std::string>& records);

// The instance name to announce for `name`: cleaned, cut to NEARBY_INSTANCE_MAX bytes at a
// character boundary, "Tovrin" when nothing is left.
[[nodiscard]] std::string InstanceNameFor(std::string_view name);

// A name from the network made safe to show: every byte that is not part of valid UTF-8 and
// every control or text-direction character becomes U+FFFD.
[[nodiscard]] std::string CleanName(std::string_view text);

}  // namespace tovrin
