#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "protocol/extended.h"

namespace tovrin {

// Digits of a pairing code.
inline constexpr int PAIRING_CODE_DIGITS = 6;

// A text that is wiped from memory when it goes (a pairing code): a copy is a second text,
// wiped in turn; the text moved from is wiped at once.
class SecretText final {
 public:
  SecretText() = default;
  SecretText(std::string text) : text_(std::move(text)) {}  // NOLINT(google-explicit-constructor)
  SecretText(const char* text) : text_(text) {}             // NOLINT(google-explicit-constructor)
  SecretText(const SecretText& other) : text_(other.text_) {}
  SecretText(SecretText&& other) noexcept : text_(std::move(other.text_)) { other.Wipe(); }
  SecretText& operator=(const SecretText& other);
  SecretText& operator=(SecretText&& other) noexcept;
  ~SecretText() { Wipe(); }

  [[nodiscard]] const std::string& get() const { return text_; }
  operator const std::string&() const { return text_; }  // NOLINT(google-explicit-constructor)
  [[nodiscard]] bool empty() const { return text_.empty(); }
  void clear() { Wipe(); }

 private:
  void Wipe() noexcept;
  std::string text_;
};

// A new code of PAIRING_CODE_DIGITS decimal digits, uniformly random (libsodium).
[[nodiscard]] SecretText NewPairingCode();
// True when `text` is exactly PAIRING_CODE_DIGITS decimal digits.
[[nodiscard]] bool IsPairingCode(std::string_view text);

// A password-authenticated key exchange from a short code: CPace as draft-irtf-cfrg-cpace-21
// defines it for ristretto255 and SHA-512 in the initiator-responder setting, with the
// explicit key confirmation its section 10.4 suggests. The initiator is A, the responder B;
// both are given the same PRS (the code), CI (channel) and sid, each its own AD.
//
//   g    = ristretto255 element_derivation(SHA-512(lv_cat(DSI, PRS, zero_bytes(zpad), CI, sid)))
//   y    = sample_scalar(); Y = encode(y * g)
//   K    = scalar_mult_vfy(y, Y_peer), abort when it is the identity or Y_peer no encoding
//   ISK  = SHA-512(lv_cat(DSI || "_ISK", sid, K) || lv_cat(Ya, ADa) || lv_cat(Yb, ADb))
//   mac_key = SHA-512("CPaceMac" || sid || ISK)
//   Ta   = HMAC-SHA-512(mac_key, lv_cat(Ya, ADa)), Tb likewise over lv_cat(Yb, ADb)
// with DSI "CPaceRistretto255", lv_cat the LEB128 length before each string and zpad
// max(0, 128 - 1 - |prepend_len(PRS)| - |prepend_len(DSI)|). Each side sends the tag over its
// own message and checks the peer's.
class Cpace final {
 public:
  static constexpr std::size_t SCALAR_SIZE = 32;
  static constexpr std::size_t ISK_SIZE = 64;
  using Scalar = std::array<uint8_t, SCALAR_SIZE>;
  using Isk = std::array<uint8_t, ISK_SIZE>;
  // A share and a confirmation go on the wire as they are: their sizes are the wire's.
  using Share = std::array<uint8_t, AUTH_SHARE_SIZE>;
  using Confirmation = std::array<uint8_t, AUTH_CONFIRM_SIZE>;

  Cpace(bool initiator, std::string_view prs, std::string_view channel, std::string_view sid,
        std::string_view own_ad);
  // The same with a given scalar (little-endian, below the group order) instead of a sampled
  // one: for the draft's test vectors.
  Cpace(bool initiator, std::string_view prs, std::string_view channel, std::string_view sid,
        std::string_view own_ad, const Scalar& scalar);
  ~Cpace();  // wipes the scalar, the key and the MAC key
  Cpace(const Cpace&) = delete;
  Cpace& operator=(const Cpace&) = delete;

  // The encoded generator calculate_generator gives for these inputs.
  [[nodiscard]] static Share Generator(std::string_view prs, std::string_view channel,
                                       std::string_view sid);

  // False when the scalar gave no share (zero, or not below the group order).
  [[nodiscard]] bool valid() const { return valid_; }
  [[nodiscard]] const Share& OwnShare() const { return own_share_; }
  // Takes the peer's share and AD; false when the share is no valid encoding or K is the
  // identity (the exchange is then to be abandoned).
  [[nodiscard]] bool Finish(const Share& peer_share, std::string_view peer_ad);
  // After Finish: the intermediate session key, this side's tag, and the check of the peer's
  // tag (constant time).
  [[nodiscard]] const Isk& IntermediateKey() const { return isk_; }
  [[nodiscard]] Confirmation OwnConfirmation() const;
  [[nodiscard]] bool CheckPeerConfirmation(const Confirmation& peer) const;

 private:
  void Start(std::string_view prs, std::string_view channel, const Scalar* scalar);
  [[nodiscard]] Confirmation Tag(const Share& share, const std::string& ad) const;

  const bool initiator_;
  const std::string sid_;
  const std::string own_ad_;
  std::string peer_ad_;
  Scalar scalar_{};
  Share own_share_{};
  Share peer_share_{};
  Isk isk_{};
  std::array<uint8_t, 64> mac_key_{};
  bool valid_ = false;
  bool finished_ = false;
};

}  // namespace tovrin
