#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>

namespace tovrin {

inline constexpr int DEFAULT_PORT = 10000;

// The address text split at its first colon. The port is converted like atoi (no digits
// give 0; DEFAULT_PORT without a colon); the socket uses its low 16 bits.
struct AddressText {
  std::string host;
  int port;
};
[[nodiscard]] AddressText SplitAddress(const std::string& text);

// The host text converted as inet_addr converts it (shortened forms such as "10.1" are
// valid); nullopt for anything else, 255.255.255.255 included.
[[nodiscard]] std::optional<uint32_t> ParseIpv4(const std::string& host);

// The dotted text of this machine's own address: the first non-loopback IPv4 address its
// host name resolves to, else that of the first non-loopback interface that is up, else
// 127.0.0.1.
[[nodiscard]] std::string OwnAddress();

// The dotted text of an IPv4 address (network order, as a socket gives it).
[[nodiscard]] std::string Dotted(in_addr address);

}  // namespace tovrin
