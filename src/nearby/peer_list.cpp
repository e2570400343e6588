#include "nearby/peer_list.h"

#include <algorithm>
#include <map>
#include <tuple>

namespace tovrin {

namespace {

// Lower ranks are preferred; ties go to the interface and address that sort first, so that
// the same findings always give the same list.
auto Preference(const NearbyPeer& peer) {
  return std::tuple(IsVirtualInterface(peer.interface_name), peer.interface_name, peer.address,
                    peer.port);
}

std::string DuplicateKey(const NearbyPeer& peer) {
  if (peer.key_hash) return std::string(peer.key_hash->begin(), peer.key_hash->end());
  return "instance:" + peer.instance;
}

}  // namespace

bool IsVirtualInterface(std::string_view name) {
  static constexpr std::string_view PREFIXES[] = {
      "docker", "veth", "virbr", "br-",    "vnet",    "vmnet", "vboxnet", "lxc",
      "lxd",    "tap",  "cni",   "podman", "flannel", "cali",  "weave",   "kube"};
  return name == "lo" ||
         std::any_of(std::begin(PREFIXES), std::end(PREFIXES),
                     [name](std::string_view prefix) { return name.starts_with(prefix); });
}

std::vector<NearbyPeer> CollapsePeers(const std::vector<FoundPeer>& found,
                                      const OwnAnnouncement& own) {
  std::map<std::string, const NearbyPeer*> chosen;
  for (const FoundPeer& entry : found) {
    const NearbyPeer& peer = entry.peer;
    if (own.key_hash && peer.key_hash == own.key_hash) continue;
    if (entry.from_this_host && !own.instance.empty() && peer.instance == own.instance) continue;
    const NearbyPeer*& best = chosen[DuplicateKey(peer)];
    if (best == nullptr || Preference(peer) < Preference(*best)) best = &peer;
  }
  std::vector<NearbyPeer> peers;
  peers.reserve(chosen.size());
  for (const auto& [key, peer] : chosen) peers.push_back(*peer);
  std::sort(peers.begin(), peers.end(), [](const NearbyPeer& a, const NearbyPeer& b) {
    return std::tie(a.name, a.address, a.port, a.instance) <
           std::tie(b.name, b.address, b.port, b.instance);
  });
  return peers;
}

}  // namespace tovrin
