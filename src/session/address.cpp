#include "session/address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>

namespace tovrin {
namespace {

// atoi as the C library has it: leading blanks, an optional sign, digits up to the first
// non-digit; no digits give 0. Out-of-range values are clamped instead of overflowing.
int ConvertPort(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value <= INT_MAX) value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

bool IsLoopback(in_addr address) { return (ntohl(address.s_addr) >> 24) == 127; }

}  // namespace

std::string Dotted(in_addr address) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

AddressText SplitAddress(const std::string& text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) return {text, DEFAULT_PORT};
  return {text.substr(0, colon), ConvertPort(text.substr(colon + 1))};
}

std::optional<uint32_t> ParseIpv4(const std::string& host) {
  if (host.find('\0') != std::string::npos) return std::nullopt;
  const in_addr_t address = inet_addr(host.c_str());
  if (address == INADDR_NONE) return std::nullopt;
  return address;
}

bool IsHostName(const std::string& host) {
  constexpr std::size_t HOST_NAME_MAX_LENGTH = 253;
  if (host.empty() || host.size() > HOST_NAME_MAX_LENGTH + 1) return false;
  const std::string name = host.back() == '.' ? host.substr(0, host.size() - 1) : host;
  if (name.empty() || name.size() > HOST_NAME_MAX_LENGTH) return false;
  bool letter = false;
  std::size_t label = 0;
  for (const char c : name) {
    const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
      continue;
    }
    if (!alpha && !(c >= '0' && c <= '9') && c != '-' && c != '_') return false;
    letter = letter || alpha;
    ++label;
  }
  return label > 0 && letter;
}

std::optional<uint32_t> ResolveIpv4(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return std::nullopt;
  std::optional<uint32_t> address;
  if (found != nullptr && found->ai_family == AF_INET) {
    address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  }
  freeaddrinfo(found);
  return address;
}

std::string OwnAddress() {
  char name[1024] = {};
  if (gethostname(name, sizeof name - 1) == 0) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) == 0) {
      std::string result;
      for (addrinfo* a = found; a != nullptr && result.empty(); a = a->ai_next) {
        const in_addr address = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr;
        if (!IsLoopback(address)) result = Dotted(address);
      }
      freeaddrinfo(found);
      if (!result.empty()) return result;
    }
  }
  // A host name that resolves only to loopback would tell the peer nothing: use the first
  // interface that is up instead.
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) == 0) {
    std::string result;
    for (ifaddrs* i = interfaces; i != nullptr && result.empty(); i = i->ifa_next) {
      if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
      if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
      const in_addr address = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr;
      if (!IsLoopback(address)) result = Dotted(address);
    }
    freeifaddrs(interfaces);
    if (!result.empty()) return result;
  }
  return "127.0.0.1";
}

}  // namespace tovrin
