#include "console/nearby_commands.h"

#include <chrono>
#include <cstdio>
#include <vector>

#include "nearby/browser.h"
#include "secure/identity.h"
#include "session/address.h"
#include "session/nearby_wait.h"

namespace tovrin {
namespace {

bool IsBase32(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '2' && c <= '7');
}

// Four groups of four base32 characters joined by dashes, either case.
bool LooksLikeFingerprint(const std::string& text) {
  if (text.size() != 19) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i % 5 == 4 ? text[i] != '-' : !IsBase32(text[i])) return false;
  }
  return true;
}

std::string FingerprintOf(const NearbyPeer& peer) {
  return peer.key_hash ? Fingerprint(*peer.key_hash) : "-";
}

}  // namespace

ConnectTarget ClassifyConnect(const std::string& text) {
  ConnectTarget target;
  const std::size_t colon = text.find(':');
  target.host = text.substr(0, colon);
  if (colon != std::string::npos) target.port = text.substr(colon + 1);
  if (ParseIpv4(target.host)) {
    target.kind = ConnectTarget::Kind::kAddress;
  } else if (LooksLikeFingerprint(target.host)) {
    target.kind = ConnectTarget::Kind::kFingerprint;
  } else {
    target.kind = ConnectTarget::Kind::kName;
  }
  return target;
}

int RunPeersCommand(int seconds) {
  std::vector<NearbyPeer> peers;
  std::string reason;
  if (!BrowseFor(std::chrono::seconds(seconds), {}, peers, reason)) {
    std::fprintf(stderr, "nearby peers cannot be listed: %s\n", reason.c_str());
    return EXIT_NO_NEARBY;
  }
  const std::vector<PeerStore::Entry> paired = PeerStore(ConfigDir()).List();
  for (const NearbyPeer& peer : peers) {
    const NearbyStanding standing = Standing(peer, paired);
    std::printf("%s\t%s:%u\t%s\t%s\n", peer.name.c_str(), peer.address.c_str(), peer.port,
                FingerprintOf(peer).c_str(),
                standing == NearbyStanding::kPaired          ? "paired"
                : standing == NearbyStanding::kNameOfAnother ? "unpaired, name of a paired peer"
                                                             : "unpaired");
  }
  if (peers.empty()) std::fprintf(stderr, "no peer waits nearby\n");
  return 0;
}

std::optional<std::string> ResolveConnectText(const std::string& text,
                                              std::optional<NearbyPeer>& picked, int& exit_code) {
  picked.reset();
  const ConnectTarget target = ClassifyConnect(text);
  if (target.kind == ConnectTarget::Kind::kAddress) return text;
  std::vector<NearbyPeer> peers;
  std::string reason;
  if (!BrowseFor(std::chrono::seconds(PEERS_DEFAULT_SECONDS), {}, peers, reason)) {
    if (target.kind == ConnectTarget::Kind::kName) {
      std::fprintf(stderr, "nearby peers cannot be searched (%s): %s is taken as a host name\n",
                   reason.c_str(), target.host.c_str());
      return text;
    }
    std::fprintf(stderr, "nearby peers cannot be searched: %s\n", reason.c_str());
    exit_code = EXIT_NO_NEARBY;
    return std::nullopt;
  }
  const std::string wanted = NormalizeFingerprint(target.host);
  std::vector<NearbyPeer> matches;
  for (const NearbyPeer& peer : peers) {
    const bool match =
        target.kind == ConnectTarget::Kind::kFingerprint
            ? peer.key_hash && NormalizeFingerprint(Fingerprint(*peer.key_hash)) == wanted
            : peer.name == text || peer.name == target.host;
    if (match) matches.push_back(peer);
  }
  if (matches.empty() && target.kind == ConnectTarget::Kind::kName) return text;
  if (matches.size() != 1) {
    std::fprintf(stderr,
                 matches.empty() ? "no peer with the fingerprint %s waits nearby\n"
                                 : "several peers called %s wait nearby: connect by fingerprint\n",
                 target.host.c_str());
    exit_code = 1;
    return std::nullopt;
  }
  picked = matches.front();
  // A whole text that is the name leaves no port; otherwise a port given wins.
  const bool own_port = target.port && matches.front().name != text;
  return picked->address + ":" + (own_port ? *target.port : std::to_string(picked->port));
}

}  // namespace tovrin
