#pragma once

#include <memory>
#include <optional>
#include <string>

#include "secure/identity.h"
#include "secure/pairing.h"
#include "secure/pairing_codes.h"

namespace tovrin {

// What this side brings to an opening; the front ends set it, the UI thread reads it when an
// attempt starts.
struct SecuritySettings {
  // This installation's key; none: the side cannot encrypt and announces version 1.
  std::shared_ptr<const Identity> identity;
  std::shared_ptr<PeerStore> peers;
  // This installation's name as people know it ("login@host" unless the user chose one).
  std::string name;
  // Refuse every session that is not encrypted with a paired (or just paired) peer.
  bool paired_only = false;
  // The connecting side: a code to pair with (the console's --pair). A pairing it makes
  // overrides the expected key below.
  SecretText pair_code;
  // The connecting side: the key the peer must have (the one a nearby peer picked from a list
  // announced). Set before Connect; it holds for that attempt and is cleared as the attempt
  // ends. Without it the key of the last encrypted session at the address is expected while
  // that key is paired (PeerStore::ExpectedAt). Whatever is expected, a session in the clear
  // or with another key is refused; a side that cannot encrypt itself expects nothing.
  std::optional<KeyHash> expected_key;
  // The connecting side: ask the user for a code when the peer is unknown (the window).
  bool ask_code = false;
  // This installation's key cannot be used while paired peers may exist: extended sessions
  // in the clear (version 1) are refused; classic peers are served as before.
  bool key_unusable_with_peers = false;
  // Tests: announce at most this version, to act as an older build (0: no cap).
  int version_cap = 0;
};

// This side's security for all its sessions: the settings, which each opening is handed a
// copy of, and the waiting side's pairing code, offered when its user asks (any thread).
struct Security final : SecuritySettings {
  PairingCodes codes;
};

}  // namespace tovrin
