#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tovrin {

// Digits of a pairing code.
inline constexpr int PAIRING_CODE_DIGITS = 6;

// A new code of PAIRING_CODE_DIGITS decimal digits, uniformly random (libsodium).
[[nodiscard]] std::string NewPairingCode();
// True when `text` is exactly PAIRING_CODE_DIGITS decimal digits.
[[nodiscard]] bool IsPairingCode(std::string_view text);

// A password-authenticated key exchange from a short code: CPace on ristretto255 with
// SHA-512, with key confirmation. Both sides construct it with the same session id and
// channel identifier; the initiator is the connecting side.
//
//   generator g = ristretto255_from_hash(SHA-512(lv(DSI) || lv(code) || lv(zero pad) ||
//                                                lv(channel) || lv(session_id)))
//   share Y = y * g for a random scalar y; K = y * Y_peer (the identity is refused)
//   ISK = SHA-512(lv(DSI "_ISK") || lv(session_id) || lv(K) || lv(Y_i) || lv(Y_r))
//   confirmation = HMAC-SHA-256(key = ISK[0..32], "initiator" or "responder")
// with DSI "CPaceRistretto255" and lv(x) the length of x as one LEB128 byte sequence
// followed by x. The zero pad makes DSI, code and pad fill one SHA-512 block (128 bytes).
class Cpace final {
 public:
  static constexpr std::size_t SHARE_SIZE = 32;
  static constexpr std::size_t CONFIRM_SIZE = 32;
  using Share = std::array<uint8_t, SHARE_SIZE>;
  using Confirmation = std::array<uint8_t, CONFIRM_SIZE>;

  Cpace(bool initiator, std::string_view code, std::string_view channel,
        std::string_view session_id);
  ~Cpace();  // wipes the scalar and the key
  Cpace(const Cpace&) = delete;
  Cpace& operator=(const Cpace&) = delete;

  [[nodiscard]] const Share& OwnShare() const { return own_share_; }
  // Takes the peer's share; false when it is no valid point or gives the identity.
  [[nodiscard]] bool Finish(const Share& peer_share);
  // After Finish: what this side sends, and the check of what the peer sent (constant time).
  [[nodiscard]] Confirmation OwnConfirmation() const;
  [[nodiscard]] bool CheckPeerConfirmation(const Confirmation& peer) const;

 private:
  const bool initiator_;
  std::string session_id_;
  std::array<uint8_t, 32> scalar_{};
  Share own_share_{};
  std::array<uint8_t, 64> isk_{};
  bool finished_ = false;
};

}  // namespace tovrin
