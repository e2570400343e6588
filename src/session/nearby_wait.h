#pragma once

#include <optional>
#include <string>
#include <vector>

#include "nearby/announcer.h"
#include "nearby/peer_list.h"
#include "secure/identity.h"

namespace tovrin {

struct Session;

// The session's link to nearby peers: the announcement of the wait under way, and whether
// the chat log has said that nearby peers are out of reach. UI thread.
class NearbyWait final {
 public:
  Announcer announcer;
  bool unavailable_reported = false;
};

// UI thread, once the wait on `port` has begun: announces it to nearby peers, unless the front
// end turned announcing off or the side speaks only the classic wire (its peers learn nothing
// from a hello version or a key). Without the Avahi daemon the chat log says so, once.
void AnnounceWait(Session& s, int port);
// UI thread: the wait has ended (a session began, Disconnect, the end): the announcement goes.
void WithdrawWait(Session& s);
// UI thread: announcing on or off, from the wait under way on.
void SetAnnouncing(Session& s, bool on);
// UI thread: says in the chat log, the first time for this session record only, that nearby
// peers can be neither listed nor told of this side, and why (the Avahi library's words).
void ReportNearbyUnavailable(Session& s, const std::string& reason);
// UI thread: what marks this side's own announcement in a list of nearby peers.
[[nodiscard]] OwnAnnouncement OwnNearby(const Session& s);

// How a nearby peer stands with this side's paired peers: paired (its key is), carrying the
// name a paired peer is kept under while its key is another, or neither.
enum class NearbyStanding { kUnknown, kPaired, kNameOfAnother };
[[nodiscard]] NearbyStanding Standing(const NearbyPeer& peer,
                                      const std::vector<PeerStore::Entry>& paired);

// The key to expect of a peer picked from the nearby list: the key hash it announced.
[[nodiscard]] std::optional<KeyHash> PickedKey(const NearbyPeer& peer);

}  // namespace tovrin
