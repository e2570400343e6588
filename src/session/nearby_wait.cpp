#include "session/nearby_wait.h"

#include <cassert>

#include "port/format.h"
#include "port/texts.h"
#include "port/window_port.h"
#include "session/lifecycle.h"
#include "session/opening.h"
#include "transfer/session.h"

namespace tovrin {
namespace {

NearbyWait& Nearby(Session& s) {
  if (!s.nearby) s.nearby = std::make_shared<NearbyWait>();
  return *s.nearby;
}

}  // namespace

void AnnounceWait(Session& s, int port) {
  assert(s.port.IsUiThread());
  const int version = HelloVersion(s.options.classic.load(), s.security);
  if (!s.options.announce || version == 0 || port <= 0) return;
  Announcement announcement;
  announcement.port = static_cast<uint16_t>(port);
  announcement.version = version;
  if (s.security.identity) announcement.key_hash = s.security.identity->key_hash;
  announcement.name = s.security.name;
  std::string reason;
  if (!Nearby(s).announcer.Start(announcement, reason)) ReportNearbyUnavailable(s, reason);
}

void WithdrawWait(Session& s) {
  assert(s.port.IsUiThread());
  if (s.nearby) s.nearby->announcer.Stop();
}

void SetAnnouncing(Session& s, bool on) {
  assert(s.port.IsUiThread());
  if (s.options.announce == on) return;
  s.options.announce = on;
  if (!on) return WithdrawWait(s);
  const int port = ListeningPort(s);
  if (port > 0 && !s.peer_socket) AnnounceWait(s, port);
}

void ReportNearbyUnavailable(Session& s, const std::string& reason) {
  assert(s.port.IsUiThread());
  NearbyWait& nearby = Nearby(s);
  if (nearby.unavailable_reported) return;
  nearby.unavailable_reported = true;
  s.port.AppendChatLog(FormatLine(text::NEARBY_UNAVAILABLE, reason.c_str()));
}

OwnAnnouncement OwnNearby(const Session& s) {
  OwnAnnouncement own;
  if (s.security.identity) own.key_hash = s.security.identity->key_hash;
  if (s.nearby) own.instance = s.nearby->announcer.InstanceName();
  return own;
}

NearbyStanding Standing(const NearbyPeer& peer, const std::vector<PeerStore::Entry>& paired) {
  bool name_taken = false;
  for (const PeerStore::Entry& entry : paired) {
    if (peer.key_hash && entry.key_hash == *peer.key_hash) return NearbyStanding::kPaired;
    if (!peer.name.empty() && entry.label == peer.name) name_taken = true;
  }
  return name_taken ? NearbyStanding::kNameOfAnother : NearbyStanding::kUnknown;
}

std::optional<KeyHash> PickedKey(const NearbyPeer& peer) { return peer.key_hash; }

}  // namespace tovrin
