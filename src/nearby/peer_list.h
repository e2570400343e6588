#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nearby/txt_records.h"

namespace tovrin {

// A waiting peer found nearby.
struct NearbyPeer {
  std::string name;      // the installation's name (TXT "name", else the instance name)
  std::string instance;  // the DNS-SD instance name, unique on its link
  std::string address;   // dotted IPv4
  uint16_t port = 0;
  std::optional<NearbyKey> key_hash;  // none when it announced no (readable) key
  int version = 0;                    // the wire version it announced, 0 when unknown
  std::string interface_name;         // the local interface it was found on
};

// One resolved announcement as the daemon reported it, before the list is made.
struct FoundPeer {
  NearbyPeer peer;
  bool from_this_host = false;
};

// What identifies the own announcement, to leave it out of a list: any entry with the own
// key hash, and an entry from this host with the own instance name.
struct OwnAnnouncement {
  std::optional<NearbyKey> key_hash;
  std::string instance;
};

// True for the interfaces of containers and virtual machines (docker0, veth…, virbr0,
// br-…, vnet…, lxcbr0, tap…, and the like) and for loopback: an entry found there too is
// shown as found on another interface.
[[nodiscard]] bool IsVirtualInterface(std::string_view name);

// The list to show: the own announcement left out, one entry per key (per instance name for
// entries without a key), each taken from a physical interface where it was found on one,
// sorted by name and address.
[[nodiscard]] std::vector<NearbyPeer> CollapsePeers(const std::vector<FoundPeer>& found,
                                                    const OwnAnnouncement& own);

}  // namespace tovrin
