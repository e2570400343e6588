#include "protocol/extended.h"

#include <algorithm>
#include <cstring>

#include "protocol/ext_text.h"

namespace tovrin {
namespace {

int Finish(char* out, int32_t type, int32_t handle, int32_t value, int length) {
  StoreHeader(FrameHeader{type, handle, value, length}, out);
  return HEADER_SIZE + length;
}

// A size or offset on the wire is unsigned 64-bit; beyond what a file can hold it is no
// size of ours.
bool ReadSize(const char* in, int64_t& size) {
  const uint64_t value = LoadU64(in);
  if (value > static_cast<uint64_t>(INT64_MAX)) return false;
  size = static_cast<int64_t>(value);
  return true;
}

// The longest start of `text` within `limit` bytes that splits no UTF-8 character.
std::string_view CutAtCharacter(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text;
  while (limit > 0 && (static_cast<unsigned char>(text[limit]) & 0xC0) == 0x80) --limit;
  return text.substr(0, limit);
}

}  // namespace

void StoreU32(void* out, uint32_t value) {
  auto* bytes = static_cast<unsigned char*>(out);
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

void StoreU64(void* out, uint64_t value) {
  auto* bytes = static_cast<unsigned char*>(out);
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t LoadU32(const void* in) {
  const auto* bytes = static_cast<const unsigned char*>(in);
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

uint64_t LoadU64(const void* in) {
  const auto* bytes = static_cast<const unsigned char*>(in);
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

bool ParseText(const char* payload, int length, int limit, std::string_view& text) {
  if (length < 1 || length > limit) return false;
  const void* nul = std::memchr(payload, '\0', static_cast<size_t>(length));
  if (nul == nullptr) return false;
  text = std::string_view(payload, static_cast<size_t>(static_cast<const char*>(nul) - payload));
  return true;
}

bool ParseHello(const char* payload, int length, std::string& program) {
  std::string_view text;
  if (!ParseText(payload, length, MAX_HELLO_PAYLOAD, text) || !IsValidUtf8(text)) return false;
  program = text;
  return true;
}

bool ParseAuth(int32_t flags, const char* payload, int length, AuthMessage& auth) {
  if ((flags & ~AUTH_FLAG_PAIRING) != 0) return false;
  const bool pairing = (flags & AUTH_FLAG_PAIRING) != 0;
  if (length != AUTH_DIGEST_SIZE + (pairing ? AUTH_SHARE_SIZE : 0)) return false;
  auth.flags = flags;
  std::memcpy(auth.digest.data(), payload, AUTH_DIGEST_SIZE);
  if (pairing) std::memcpy(auth.share.data(), payload + AUTH_DIGEST_SIZE, AUTH_SHARE_SIZE);
  return true;
}

bool ParseAuthResult(int32_t value, const char* payload, int length, std::string& refusal,
                     std::string* name) {
  std::string_view line;
  if (value == AUTH_ACCEPTED &&
      (length == 0 || ParseText(payload, length, MAX_INSTALLATION_NAME + 1, line))) {
    if (name != nullptr) name->assign(line);
    return true;
  }
  refusal = value == AUTH_REFUSED && ParseText(payload, length, MAX_TEXT, line)
                ? Utf8Lossy(line, '?')
                : "?";
  return false;
}

bool ParseBatch(const char* payload, int length, BatchAnnouncement& batch) {
  if (length < 16 || length > MAX_BATCH_PAYLOAD) return false;
  batch.files = LoadU64(payload);
  batch.bytes = LoadU64(payload + 8);
  batch.names.clear();
  for (int at = 16; at < length;) {
    std::string_view name;
    if (batch.names.size() == MAX_BATCH_NAMES ||
        !ParseText(payload + at, std::min(length - at, MAX_BATCH_NAME + 1), MAX_BATCH_NAME + 1,
                   name)) {
      return false;
    }
    batch.names.emplace_back(name);
    at += static_cast<int>(name.size()) + 1;
  }
  return true;
}

bool ParseBatchReply(int32_t value, const char* payload, int length, std::string& reason) {
  std::string_view line;
  if ((value != BATCH_ACCEPTED && value != BATCH_DECLINED) ||
      !ParseText(payload, length, MAX_BATCH_REASON, line)) {
    return false;
  }
  reason = Utf8Lossy(line, '?');
  return true;
}

bool ParseOffer(const char* payload, int length, ExtOffer& offer) {
  if (length <= EXT_OFFER_FIXED || length > EXT_OFFER_FIXED + MAX_EXT_TEXT) return false;
  if (!ReadSize(payload, offer.size)) return false;
  offer.mtime_ns = static_cast<int64_t>(LoadU64(payload + 8));
  offer.mode = LoadU32(payload + 16);
  return ParseText(payload + EXT_OFFER_FIXED, length - EXT_OFFER_FIXED, MAX_EXT_TEXT, offer.name);
}

bool ParseReply(const char* payload, int length, ExtReply& reply) {
  if (length != EXT_REPLY_SIZE || !ReadSize(payload, reply.held)) return false;
  std::memcpy(reply.prefix.data(), payload + 8, reply.prefix.size());
  return true;
}

bool ParseStart(const char* payload, int length, int64_t& offset) {
  return length == EXT_START_SIZE && ReadSize(payload, offset);
}

bool ParseEnd(const char* payload, int length, ExtEnd& end) {
  if (length != EXT_END_SIZE || !ReadSize(payload, end.total)) return false;
  std::memcpy(end.digest.data(), payload + 8, end.digest.size());
  return true;
}

int BuildHello(char* out, std::string_view program, int32_t version) {
  const std::string_view text = program.substr(0, MAX_HELLO_PAYLOAD - 1);
  std::memcpy(out + HEADER_SIZE, text.data(), text.size());
  out[HEADER_SIZE + text.size()] = '\0';
  return Finish(out, MSG_HELLO, 0, version, static_cast<int>(text.size() + 1));
}

int BuildText(char* out, int32_t type, std::string_view text) {
  std::memcpy(out + HEADER_SIZE, text.data(), text.size());
  out[HEADER_SIZE + text.size()] = '\0';
  return Finish(out, type, 0, 0, static_cast<int>(text.size() + 1));
}

int BuildOffer(char* out, int32_t id, int32_t flags, const ExtOffer& offer) {
  char* payload = out + HEADER_SIZE;
  StoreU64(payload, static_cast<uint64_t>(offer.size));
  StoreU64(payload + 8, static_cast<uint64_t>(offer.mtime_ns));
  StoreU32(payload + 16, offer.mode);
  std::memcpy(payload + EXT_OFFER_FIXED, offer.name.data(), offer.name.size());
  payload[EXT_OFFER_FIXED + offer.name.size()] = '\0';
  return Finish(out, MSG_EXT_OFFER, id, flags,
                EXT_OFFER_FIXED + static_cast<int>(offer.name.size() + 1));
}

int BuildReply(char* out, int32_t id, int32_t status, const ExtReply& reply) {
  StoreU64(out + HEADER_SIZE, static_cast<uint64_t>(reply.held));
  std::memcpy(out + HEADER_SIZE + 8, reply.prefix.data(), reply.prefix.size());
  return Finish(out, MSG_EXT_REPLY, id, status, EXT_REPLY_SIZE);
}

int BuildStart(char* out, int32_t id, int64_t offset) {
  StoreU64(out + HEADER_SIZE, static_cast<uint64_t>(offset));
  return Finish(out, MSG_EXT_START, id, 0, EXT_START_SIZE);
}

int BuildEnd(char* out, int32_t id, int32_t status, const ExtEnd& end) {
  StoreU64(out + HEADER_SIZE, static_cast<uint64_t>(end.total));
  std::memcpy(out + HEADER_SIZE + 8, end.digest.data(), end.digest.size());
  return Finish(out, MSG_EXT_END, id, status, EXT_END_SIZE);
}

int BuildAcceptance(char* out, bool named, std::string_view name) {
  if (!named) return Finish(out, MSG_AUTH_RESULT, 0, AUTH_ACCEPTED, 0);
  const std::string_view text = name.substr(0, MAX_INSTALLATION_NAME);
  std::memcpy(out + HEADER_SIZE, text.data(), text.size());
  out[HEADER_SIZE + text.size()] = '\0';
  return Finish(out, MSG_AUTH_RESULT, 0, AUTH_ACCEPTED, static_cast<int>(text.size() + 1));
}

int BuildBatch(char* out, const BatchAnnouncement& batch) {
  char* payload = out + HEADER_SIZE;
  StoreU64(payload, batch.files);
  StoreU64(payload + 8, batch.bytes);
  int length = 16;
  for (std::size_t i = 0; i < batch.names.size() && i < MAX_BATCH_NAMES; ++i) {
    const std::string_view name = CutAtCharacter(batch.names[i], MAX_BATCH_NAME);
    std::memcpy(payload + length, name.data(), name.size());
    length += static_cast<int>(name.size());
    payload[length++] = '\0';
  }
  return Finish(out, MSG_EXT_BATCH, 0, 0, length);
}

int BuildBatchReply(char* out, int32_t value, std::string_view reason) {
  const std::string_view text = CutAtCharacter(reason, MAX_BATCH_REASON - 1);
  std::memcpy(out + HEADER_SIZE, text.data(), text.size());
  out[HEADER_SIZE + text.size()] = '\0';
  return Finish(out, MSG_EXT_BATCH_REPLY, 0, value, static_cast<int>(text.size() + 1));
}

int BuildAuth(char* out, const AuthMessage& auth) {
  char* payload = out + HEADER_SIZE;
  std::memcpy(payload, auth.digest.data(), AUTH_DIGEST_SIZE);
  int length = AUTH_DIGEST_SIZE;
  if ((auth.flags & AUTH_FLAG_PAIRING) != 0) {
    std::memcpy(payload + length, auth.share.data(), AUTH_SHARE_SIZE);
    length += AUTH_SHARE_SIZE;
  }
  return Finish(out, MSG_AUTH, 0, auth.flags, length);
}

}  // namespace tovrin
