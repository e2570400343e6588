#include "secure/pairing.h"

#include <sodium.h>

#include <cstdlib>

namespace tovrin {
namespace {

constexpr std::string_view DSI = "CPaceRistretto255";
constexpr std::string_view ISK_DSI = "CPaceRistretto255_ISK";
constexpr std::string_view INITIATOR = "initiator";
constexpr std::string_view RESPONDER = "responder";
constexpr std::size_t HASH_BLOCK = 128;

void InitSodium() {
  // Without a working random source no key may be made: stopping is the only safe answer.
  if (sodium_init() < 0) std::abort();
}

// Length of x as LEB128, then x.
void HashLv(crypto_hash_sha512_state& state, const void* data, std::size_t size) {
  unsigned char length[10];
  std::size_t used = 0;
  std::size_t rest = size;
  do {
    length[used] = static_cast<unsigned char>(rest & 0x7f);
    rest >>= 7;
    if (rest != 0) length[used] |= 0x80;
    ++used;
  } while (rest != 0);
  crypto_hash_sha512_update(&state, length, used);
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

Cpace::Confirmation Mac(const std::array<uint8_t, 64>& isk, std::string_view role) {
  Cpace::Confirmation mac{};
  crypto_auth_hmacsha256(mac.data(), reinterpret_cast<const unsigned char*>(role.data()),
                         role.size(), isk.data());
  return mac;
}

}  // namespace

std::string NewPairingCode() {
  InitSodium();
  std::string code;
  for (int i = 0; i < PAIRING_CODE_DIGITS; ++i) {
    code += static_cast<char>('0' + randombytes_uniform(10));
  }
  return code;
}

bool IsPairingCode(std::string_view text) {
  if (text.size() != PAIRING_CODE_DIGITS) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

Cpace::Cpace(bool initiator, std::string_view code, std::string_view channel,
             std::string_view session_id)
    : initiator_(initiator), session_id_(session_id) {
  static_assert(crypto_auth_hmacsha256_KEYBYTES == 32 && crypto_core_ristretto255_BYTES == 32);
  InitSodium();
  const std::size_t prefix = LvSize(DSI.size()) + LvSize(code.size());
  const std::size_t pad_size = prefix + 1 < HASH_BLOCK ? HASH_BLOCK - 1 - prefix : 0;
  const std::array<uint8_t, HASH_BLOCK> zeros{};
  crypto_hash_sha512_state state;
  crypto_hash_sha512_init(&state);
  HashLv(state, DSI);
  HashLv(state, code);
  HashLv(state, zeros.data(), pad_size);
  HashLv(state, channel);
  HashLv(state, session_id);
  std::array<uint8_t, crypto_hash_sha512_BYTES> digest{};
  crypto_hash_sha512_final(&state, digest.data());
  std::array<uint8_t, crypto_core_ristretto255_BYTES> generator{};
  crypto_core_ristretto255_from_hash(generator.data(), digest.data());
  // A zero scalar (or a generator that is the identity) would give the identity; the odds are
  // negligible, and a new scalar costs nothing.
  do {
    crypto_core_ristretto255_scalar_random(scalar_.data());
  } while (crypto_scalarmult_ristretto255(own_share_.data(), scalar_.data(), generator.data()) !=
           0);
  sodium_memzero(&state, sizeof state);
  sodium_memzero(digest.data(), digest.size());
  sodium_memzero(generator.data(), generator.size());
}

Cpace::~Cpace() {
  sodium_memzero(scalar_.data(), scalar_.size());
  sodium_memzero(isk_.data(), isk_.size());
}

bool Cpace::Finish(const Share& peer_share) {
  if (finished_ || crypto_core_ristretto255_is_valid_point(peer_share.data()) != 1) return false;
  std::array<uint8_t, crypto_scalarmult_ristretto255_BYTES> shared{};
  if (crypto_scalarmult_ristretto255(shared.data(), scalar_.data(), peer_share.data()) != 0) {
    return false;
  }
  const Share& initiator_share = initiator_ ? own_share_ : peer_share;
  const Share& responder_share = initiator_ ? peer_share : own_share_;
  crypto_hash_sha512_state state;
  crypto_hash_sha512_init(&state);
  HashLv(state, ISK_DSI);
  HashLv(state, session_id_);
  HashLv(state, shared.data(), shared.size());
  HashLv(state, initiator_share.data(), initiator_share.size());
  HashLv(state, responder_share.data(), responder_share.size());
  crypto_hash_sha512_final(&state, isk_.data());
  sodium_memzero(&state, sizeof state);
  sodium_memzero(shared.data(), shared.size());
  sodium_memzero(scalar_.data(), scalar_.size());
  finished_ = true;
  return true;
}

Cpace::Confirmation Cpace::OwnConfirmation() const {
  if (!finished_) return {};
  return Mac(isk_, initiator_ ? INITIATOR : RESPONDER);
}

bool Cpace::CheckPeerConfirmation(const Confirmation& peer) const {
  if (!finished_) return false;
  const Confirmation expected = Mac(isk_, initiator_ ? RESPONDER : INITIATOR);
  return sodium_memcmp(expected.data(), peer.data(), CONFIRM_SIZE) == 0;
}

}  // namespace tovrin
