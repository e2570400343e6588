#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/extended.h"
#include "secure/pairing_codes.h"
#include "secure/security_settings.h"
#include "transfer/session.h"

namespace tovrin {

class Connection;

// The whole opening of a connection, from accept or connect to the first message of the
// session, may take this long (typing a pairing code included).
inline constexpr auto OPENING_TIME_LIMIT = std::chrono::seconds(60);
// Connections a waiting side opens at the same time. A newcomer beyond them takes the place
// of the oldest opening that has not finished its TLS handshake; without one it is closed.
inline constexpr int MAX_PENDING_OPENINGS = 4;
// Openings a waiting side runs at the same time for one source address; more are closed.
inline constexpr int MAX_OPENINGS_PER_ADDRESS = 2;
// How far the peer is known.
enum class Trust { kNone, kStranger, kPaired, kJustPaired };

struct OpeningParams {
  bool server = false;  // the waiting side (the TLS server)
  bool classic = false;  // no hello: the session is classic whatever the peer is
  SecuritySettings security;
  PairingCodes* codes = nullptr;  // the waiting side's
  // The connecting side: asks the user for a code when the peer is unknown (empty: connect
  // without pairing; nullopt: the user gave the connection up).
  std::function<std::optional<std::string>(const std::string& fingerprint)> ask_code;
  std::string peer_label;  // the peer's address, kept with a new pairing
  // The connecting side: the address it connected to (A.B.C.D:PORT), where the key it meets
  // is expected and remembered; empty on the waiting side.
  std::string address;
  // The waiting side: SETUP_TIME_LIMIT, or less in tests.
  std::chrono::milliseconds setup_limit{SETUP_TIME_LIMIT};
  // How long a silent peer may take to start its first message: NEGOTIATION_GRACE, or less
  // where many openings run in a row (the fuzz target).
  std::chrono::milliseconds grace{NEGOTIATION_GRACE};
  // Set by the opening once the TLS handshake is through (any thread may look).
  std::shared_ptr<std::atomic<bool>> set_up;
};

struct OpeningResult {
  bool session = false;            // the connection carries the session now
  std::vector<std::string> lines;  // for the chat log, in order
  // A session: how far the peer is known (kNone: a session in the clear) and the name it gave
  // (cleaned as InstallationName does; empty when it gave none).
  Trust trust = Trust::kNone;
  std::string peer_name;
};

// An installation's name as it is sent and as a peer's is shown: every byte that is not part
// of valid UTF-8 and every control or text-direction character as U+FFFD (as names found
// nearby), cut to MAX_INSTALLATION_NAME bytes at a character boundary.
[[nodiscard]] std::string InstallationName(std::string_view name);

class TlsEngine;

// The version this side's hello announces: 0 (no hello) for a classic-only side, 1 without a
// usable key, EXTENSION_VERSION otherwise, never above the tests' cap.
[[nodiscard]] int HelloVersion(bool classic, const SecuritySettings& security);

// What MSG_AUTH carries to bind the hellos: SHA-256 of the TLS exporter's 32 bytes for
// "EXPORTER-tovrin-hellos" followed by the connecting side's hello and the waiting side's, each
// as the whole message (header and payload) before complementing.
[[nodiscard]] bool HelloDigest(TlsEngine& engine, const std::string& client_hello,
                               const std::string& server_hello, std::array<unsigned char, 32>& digest);

// Runs the opening on the connected blocking socket of `connection`: sends this side's
// hello, reads the peer's first message (or waits NEGOTIATION_GRACE for one), and in an encrypted
// session runs the TLS handshake, checks both hellos and authenticates the peer (its
// remembered key or a pairing code). On success the connection's link is settled and, for an
// encrypted session, the connection is secured. A side that was given a code to pair with
// takes only an encrypted session in which the pairing succeeded. Any thread; blocks until
// done, OPENING_TIME_LIMIT at most, or the connection is shut down.
[[nodiscard]] OpeningResult OpenConnection(Connection& connection, const OpeningParams& params);

}  // namespace tovrin
