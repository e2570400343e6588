#pragma once

#include <optional>
#include <string>

#include "nearby/peer_list.h"

namespace tovrin {

// The Avahi daemon cannot be reached: --peers cannot list, --connect cannot look a
// fingerprint up.
inline constexpr int EXIT_NO_NEARBY = 4;
// How long --peers browses unless told.
inline constexpr int PEERS_DEFAULT_SECONDS = 3;

// What --connect names, tried in this order: a dotted IPv4 address, a fingerprint
// (XXXX-XXXX-XXXX-XXXX), the exact name of a nearby peer or else a host name. `host` is the
// text before the first colon, `port` what follows it (none without a colon).
struct ConnectTarget {
  enum class Kind { kAddress, kFingerprint, kName };
  Kind kind = Kind::kAddress;
  std::string host;
  std::optional<std::string> port;
};
[[nodiscard]] ConnectTarget ClassifyConnect(const std::string& text);

// --peers: browses for `seconds` and prints the waiting peers one a line (name, address:port,
// fingerprint, paired or not, separated by tabs). The exit code.
[[nodiscard]] int RunPeersCommand(int seconds);

// --connect TEXT: the address field's text for it, a nearby peer's address and port when TEXT
// names one (`picked` is then that peer), else TEXT itself. nullopt, with a line on standard
// error and `exit_code` set, when a fingerprint names no nearby peer or a name several.
[[nodiscard]] std::optional<std::string> ResolveConnectText(const std::string& text,
                                                            std::optional<NearbyPeer>& picked,
                                                            int& exit_code);

}  // namespace tovrin
