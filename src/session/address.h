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

// True for text that may name a host (and is no address ParseIpv4 takes or refuses): labels
// of letters, digits, '-' and '_' joined by dots, an optional final dot, at most 253
// characters, with a letter somewhere.
[[nodiscard]] bool IsHostName(const std::string& host);
// The first IPv4 address `host` resolves to (getaddrinfo: the hosts file, DNS, mDNS for .local
// names where the system resolves them), network order; nullopt when none. Blocks while the
// resolver works: never on the UI thread.
[[nodiscard]] std::optional<uint32_t> ResolveIpv4(const std::string& host);

// The dotted text of this machine's own address: the first non-loopback IPv4 address its
// host name resolves to, else that of the first non-loopback interface that is up, else
// 127.0.0.1.
[[nodiscard]] std::string OwnAddress();

// The dotted text of an IPv4 address (network order, as a socket gives it).
[[nodiscard]] std::string Dotted(in_addr address);

}  // namespace tovrin
