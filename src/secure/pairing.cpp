#include "secure/pairing.h"

#include <sodium.h>

#include <cstdlib>

namespace tovrin {
namespace {

constexpr std::string_view DSI = "CPaceRistretto255";
constexpr std::string_view ISK_DSI = "CPaceRistretto255_ISK";
constexpr std::string_view MAC_DSI = "CPaceMac";
// SHA-512's input block (H.s_in_bytes).
constexpr std::size_t HASH_BLOCK = 128;
// The scalar bits sample_scalar keeps (G.group_size_bits).
constexpr int GROUP_SIZE_BITS = 252;

void InitSodium() {
  // Without a working random source no key may be made: stopping is the only safe answer.
  if (sodium_init() < 0) std::abort();
}

// The length of a string as LEB128 (7 bits a byte, least significant first); returns the
// bytes used.
std::size_t Leb128(std::size_t size, unsigned char (&out)[10]) {
  std::size_t used = 0;
  do {
    out[used] = static_cast<unsigned char>(size & 0x7f);
    size >>= 7;
    if (size != 0) out[used] |= 0x80;
    ++used;
  } while (size != 0);
  return used;
}

// prepend_len(x) into the hash.
void HashLv(crypto_hash_sha512_state& state, const void* data, std::size_t size) {
  unsigned char length[10];
  crypto_hash_sha512_update(&state, length, Leb128(size, length));
  crypto_hash_sha512_update(&state, static_cast<const unsigned char*>(data), size);
}

void HashLv(crypto_hash_sha512_state& state, std::string_view text) {
  HashLv(state, text.data(), text.size());
}

std::size_t LvSize(std::size_t size) {
  std::size_t bytes = 1;
  for (std::size_t rest = size >> 7; rest != 0; rest >>= 7) ++bytes;
  return bytes + size;
}

// SHA-512(generator_string(DSI, PRS, CI, sid, 128)) mapped to ristretto255.
Cpace::Share DeriveGenerator(std::string_view prs, std::string_view channel, std::string_view sid) {
  const std::size_t prefix = LvSize(DSI.size()) + LvSize(prs.size());
  const std::size_t pad_size = prefix + 1 < HASH_BLOCK ? HASH_BLOCK - 1 - prefix : 0;
  const std::array<uint8_t, HASH_BLOCK> zeros{};
  crypto_hash_sha512_state state;
  crypto_hash_sha512_init(&state);
  HashLv(state, DSI);
  HashLv(state, prs);
  HashLv(state, zeros.data(), pad_size);
  HashLv(state, channel);
  HashLv(state, sid);
  std::array<uint8_t, crypto_hash_sha512_BYTES> digest{};
  crypto_hash_sha512_final(&state, digest.data());
  Cpace::Share generator{};
  crypto_core_ristretto255_from_hash(generator.data(), digest.data());
  sodium_memzero(&state, sizeof state);
  sodium_memzero(digest.data(), digest.size());
  return generator;
}

}  // namespace

SecretText& SecretText::operator=(const SecretText& other) {
  if (this != &other) {
    Wipe();
    text_ = other.text_;
  }
  return *this;
}

SecretText& SecretText::operator=(SecretText&& other) noexcept {
  if (this != &other) {
    Wipe();
    text_ = other.text_;
    other.Wipe();
  }
  return *this;
}

void SecretText::Wipe() noexcept {
  sodium_memzero(text_.data(), text_.capacity());
  text_.clear();
}

SecretText NewPairingCode() {
  InitSodium();
  std::string code(PAIRING_CODE_DIGITS, '0');
  for (char& digit : code) digit = static_cast<char>('0' + randombytes_uniform(10));
  SecretText secret(code);
  sodium_memzero(code.data(), code.capacity());
  return secret;
}

bool IsPairingCode(std::string_view text) {
  if (text.size() != PAIRING_CODE_DIGITS) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

Cpace::Cpace(bool initiator, std::string_view prs, std::string_view channel, std::string_view sid,
             std::string_view own_ad)
    : initiator_(initiator), sid_(sid), own_ad_(own_ad) {
  Start(prs, channel, nullptr);
}

Cpace::Cpace(bool initiator, std::string_view prs, std::string_view channel, std::string_view sid,
             std::string_view own_ad, const Scalar& scalar)
    : initiator_(initiator), sid_(sid), own_ad_(own_ad) {
  Start(prs, channel, &scalar);
}

Cpace::~Cpace() {
  sodium_memzero(scalar_.data(), scalar_.size());
  sodium_memzero(isk_.data(), isk_.size());
  sodium_memzero(mac_key_.data(), mac_key_.size());
}

Cpace::Share Cpace::Generator(std::string_view prs, std::string_view channel,
                              std::string_view sid) {
  InitSodium();
  return DeriveGenerator(prs, channel, sid);
}

void Cpace::Start(std::string_view prs, std::string_view channel, const Scalar* scalar) {
  static_assert(crypto_core_ristretto255_BYTES == AUTH_SHARE_SIZE &&
                crypto_core_ristretto255_SCALARBYTES == SCALAR_SIZE &&
                crypto_hash_sha512_BYTES == ISK_SIZE &&
                crypto_auth_hmacsha512_BYTES == AUTH_CONFIRM_SIZE);
  InitSodium();
  Share generator = DeriveGenerator(prs, channel, sid_);
  if (scalar != nullptr) {
    scalar_ = *scalar;
    valid_ =
        crypto_scalarmult_ristretto255(own_share_.data(), scalar_.data(), generator.data()) == 0;
  } else {
    // sample_scalar: uniform bytes with the bits above the group size cleared. A zero scalar
    // would give the identity; the odds are negligible, and a new scalar costs nothing.
    do {
      randombytes_buf(scalar_.data(), scalar_.size());
      scalar_[SCALAR_SIZE - 1] &= static_cast<uint8_t>((1u << (GROUP_SIZE_BITS % 8)) - 1);
    } while (crypto_scalarmult_ristretto255(own_share_.data(), scalar_.data(), generator.data()) !=
             0);
    valid_ = true;
  }
  sodium_memzero(generator.data(), generator.size());
}

bool Cpace::Finish(const Share& peer_share, std::string_view peer_ad) {
  if (!valid_ || finished_ || crypto_core_ristretto255_is_valid_point(peer_share.data()) != 1) {
    return false;
  }
  std::array<uint8_t, crypto_scalarmult_ristretto255_BYTES> shared{};
  if (crypto_scalarmult_ristretto255(shared.data(), scalar_.data(), peer_share.data()) != 0) {
    return false;
  }
  peer_share_ = peer_share;
  peer_ad_.assign(peer_ad);
  const Share& share_a = initiator_ ? own_share_ : peer_share_;
  const Share& share_b = initiator_ ? peer_share_ : own_share_;
  const std::string& ad_a = initiator_ ? own_ad_ : peer_ad_;
  const std::string& ad_b = initiator_ ? peer_ad_ : own_ad_;
  crypto_hash_sha512_state state;
  crypto_hash_sha512_init(&state);
  HashLv(state, ISK_DSI);
  HashLv(state, sid_);
  HashLv(state, shared.data(), shared.size());
  HashLv(state, share_a.data(), share_a.size());
  HashLv(state, ad_a);
  HashLv(state, share_b.data(), share_b.size());
  HashLv(state, ad_b);
  crypto_hash_sha512_final(&state, isk_.data());

  crypto_hash_sha512_init(&state);
  crypto_hash_sha512_update(&state, reinterpret_cast<const unsigned char*>(MAC_DSI.data()),
                            MAC_DSI.size());
  crypto_hash_sha512_update(&state, reinterpret_cast<const unsigned char*>(sid_.data()),
                            sid_.size());
  crypto_hash_sha512_update(&state, isk_.data(), isk_.size());
  crypto_hash_sha512_final(&state, mac_key_.data());

  sodium_memzero(&state, sizeof state);
  sodium_memzero(shared.data(), shared.size());
  sodium_memzero(scalar_.data(), scalar_.size());
  finished_ = true;
  return true;
}

Cpace::Confirmation Cpace::Tag(const Share& share, const std::string& ad) const {
  // HMAC over lv_cat(Y, AD).
  std::string message;
  const auto append_lv = [&message](const void* data, std::size_t size) {
    unsigned char length[10];
    message.append(reinterpret_cast<const char*>(length), Leb128(size, length));
    message.append(static_cast<const char*>(data), size);
  };
  append_lv(share.data(), share.size());
  append_lv(ad.data(), ad.size());
  crypto_auth_hmacsha512_state state;
  Confirmation tag{};
  crypto_auth_hmacsha512_init(&state, mac_key_.data(), mac_key_.size());
  crypto_auth_hmacsha512_update(&state, reinterpret_cast<const unsigned char*>(message.data()),
                                message.size());
  crypto_auth_hmacsha512_final(&state, tag.data());
  sodium_memzero(&state, sizeof state);
  return tag;
}

Cpace::Confirmation Cpace::OwnConfirmation() const {
  if (!finished_) return {};
  return Tag(own_share_, own_ad_);
}

bool Cpace::CheckPeerConfirmation(const Confirmation& peer) const {
  if (!finished_) return false;
  const Confirmation expected = Tag(peer_share_, peer_ad_);
  return sodium_memcmp(expected.data(), peer.data(), expected.size()) == 0;
}

}  // namespace tovrin
