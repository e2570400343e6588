#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/frame.h"

namespace tovrin {

// The extension two Tovrin peers negotiate on top of the classic wire (docs/protocol.md has
// every layout). Each side opens a session with MSG_HELLO; extended messages go out only
// once the peer's hello has been read. Every integer is little-endian.

// The highest version this program speaks. Version 1 is the extended wire in the clear; from
// FIRST_SECURE_VERSION up each version is one generation of the encrypted session (inside
// TLS 1.3 once both hellos have been read), and two sides run it only when both announce the
// same one. Version 3 pairs with the CPace of draft-irtf-cfrg-cpace-21 (version 2 did not);
// version 4 adds the installation's name to the acceptance that ends the opening; version 5
// announces every batch and waits for the receiver's answer before offering it; version 6
// stops complementing the frames inside TLS.
inline constexpr int32_t EXTENSION_VERSION = 6;
inline constexpr int32_t FIRST_SECURE_VERSION = 2;
inline constexpr int32_t FIRST_NAMED_VERSION = 4;
inline constexpr int32_t FIRST_BATCH_VERSION = 5;
// From this version on the bytes inside TLS are the frames as they are, not complemented: the
// complement hides nothing there and costs a pass over every byte on both sides. The hellos
// before TLS, and every session in the clear, stay complemented.
inline constexpr int32_t PLAIN_FRAMES_VERSION = 6;

// Whether the frames inside TLS are complemented in an encrypted session of `version`.
[[nodiscard]] constexpr bool ComplementsInsideTls(int32_t version) {
  return version < PLAIN_FRAMES_VERSION;
}

inline constexpr int32_t MSG_HELLO = 0x100;
inline constexpr int32_t MSG_EXT_CHAT = 0x101;
inline constexpr int32_t MSG_EXT_FOLDER = 0x102;
// The state of the sender's queue, first thing in the session and then at every change: a
// peer that has finished its own batch and means to close waits while files are to come.
inline constexpr int32_t MSG_EXT_QUEUE = 0x103;
// A batch's size and top-level names before its first offer, and the receiver's answer for
// the whole batch (FIRST_BATCH_VERSION on).
inline constexpr int32_t MSG_EXT_BATCH = 0x104;
inline constexpr int32_t MSG_EXT_BATCH_REPLY = 0x105;
inline constexpr int32_t MSG_EXT_OFFER = 0x110;
inline constexpr int32_t MSG_EXT_REPLY = 0x111;
inline constexpr int32_t MSG_EXT_START = 0x112;
inline constexpr int32_t MSG_EXT_DATA = 0x113;
inline constexpr int32_t MSG_EXT_END = 0x114;
inline constexpr int32_t MSG_EXT_DONE = 0x115;
// The first messages inside TLS (an encrypted session), before any other: who the peer is.
inline constexpr int32_t MSG_AUTH = 0x120;
inline constexpr int32_t MSG_AUTH_CONFIRM = 0x121;
inline constexpr int32_t MSG_AUTH_RESULT = 0x122;

[[nodiscard]] constexpr bool IsExtendedType(int32_t type) { return type >= 0x100 && type <= 0x1FF; }

// Largest payload of an extended message; classic types keep MAX_PAYLOAD.
inline constexpr int MAX_EXT_PAYLOAD = 1 << 20;
// File bytes per MSG_EXT_DATA.
inline constexpr int EXT_CHUNK_SIZE = MAX_EXT_PAYLOAD;
// The hello's text, NUL included.
inline constexpr int MAX_HELLO_PAYLOAD = 64;
// A name or folder text, NUL included.
inline constexpr int MAX_EXT_TEXT = 4096;
// A chat line's text without its NUL: shown whole in a log line (MAX_LOG_LINE).
inline constexpr int MAX_EXT_CHAT = 4000;
// Offers a sender keeps outstanding (sent, neither refused nor answered with MSG_EXT_DONE),
// and accepted offers a receiver holds before their MSG_EXT_END: a peer exceeding it ends
// the session.
inline constexpr int OFFER_WINDOW = 32;

// How long a side waits for the peer's first message before it offers classic files.
inline constexpr auto NEGOTIATION_GRACE = std::chrono::milliseconds(1000);

// MSG_EXT_REPLY's value.
inline constexpr int32_t OFFER_ACCEPTED = 0;
inline constexpr int32_t OFFER_REFUSED = -1;
// MSG_EXT_END's value.
inline constexpr int32_t END_COMPLETE = 0;
inline constexpr int32_t END_ABANDONED = 1;  // the sender could not read on; no hash
// MSG_EXT_DONE's value.
inline constexpr int32_t DONE_VERIFIED = 0;
inline constexpr int32_t DONE_DIFFERS = 1;     // the hash differed; the file was emptied
inline constexpr int32_t DONE_NOT_STORED = 2;  // a write failed or the sender abandoned it
// MSG_EXT_QUEUE's value.
inline constexpr int32_t QUEUE_EMPTY = 0;    // nothing to offer and no offer outstanding
inline constexpr int32_t QUEUE_SENDING = 1;  // files to offer, or offers not answered yet
// MSG_EXT_OFFER's value: bit 0, the file is offered again after a failed verification.
inline constexpr int32_t OFFER_FLAG_RESEND = 1;

// MSG_EXT_BATCH_REPLY's value; its payload is the reason, a NUL-terminated UTF-8 line (empty
// when accepted).
inline constexpr int32_t BATCH_ACCEPTED = 0;
inline constexpr int32_t BATCH_DECLINED = 1;
// MSG_EXT_BATCH: the top-level names it carries at most, each at most MAX_BATCH_NAME bytes
// before its NUL, and the whole payload's limit; a reply's reason, NUL included.
inline constexpr int MAX_BATCH_NAMES = 8;
inline constexpr int MAX_BATCH_NAME = 255;
inline constexpr int MAX_BATCH_PAYLOAD = 4096;
inline constexpr int MAX_BATCH_REASON = 1024;

// MSG_AUTH's value: bit 0, the sender takes part in pairing (the connecting side: it was
// given a code; the waiting side: it shows one). The payload is the hello digest, then the
// CPace share when bit 0 is set.
inline constexpr int32_t AUTH_FLAG_PAIRING = 1;
inline constexpr int AUTH_DIGEST_SIZE = 32;
inline constexpr int AUTH_SHARE_SIZE = 32;
inline constexpr int AUTH_CONFIRM_SIZE = 64;
// MSG_AUTH_RESULT's value; a refusal's payload is a NUL-terminated UTF-8 line for the log,
// an acceptance's (from FIRST_NAMED_VERSION on) the sender's name, NUL-terminated.
inline constexpr int32_t AUTH_ACCEPTED = 0;
inline constexpr int32_t AUTH_REFUSED = 1;
// An installation's name in MSG_AUTH_RESULT, in bytes without its NUL.
inline constexpr int MAX_INSTALLATION_NAME = 64;

struct AuthMessage {
  int32_t flags = 0;
  std::array<unsigned char, AUTH_DIGEST_SIZE> digest{};
  std::array<unsigned char, AUTH_SHARE_SIZE> share{};  // bit 0 of flags only
};

// XXH3-128 in its canonical (big-endian) 16 bytes.
using Digest = std::array<unsigned char, 16>;

inline constexpr int EXT_OFFER_FIXED = 20;  // size, mtime, mode; the name follows
inline constexpr int EXT_REPLY_SIZE = 24;   // held, prefix digest
inline constexpr int EXT_START_SIZE = 8;    // offset
inline constexpr int EXT_END_SIZE = 24;     // total, digest

struct ExtOffer {
  int64_t size = 0;
  int64_t mtime_ns = 0;  // modification time, nanoseconds since 1970 (UTC)
  uint32_t mode = 0;     // the source's permission bits
  std::string_view name;
};

struct ExtReply {
  int64_t held = 0;  // bytes the target holds
  Digest prefix{};   // of its first min(held, offered size) bytes
};

// A batch as announced: its files, their bytes and up to MAX_BATCH_NAMES top-level names.
struct BatchAnnouncement {
  uint64_t files = 0;
  uint64_t bytes = 0;
  std::vector<std::string> names;
};

struct ExtEnd {
  int64_t total = 0;  // bytes from the start of the file to the end of the last data
  Digest digest{};    // of those bytes
};

void StoreU32(void* out, uint32_t value);
void StoreU64(void* out, uint64_t value);
[[nodiscard]] uint32_t LoadU32(const void* in);
[[nodiscard]] uint64_t LoadU64(const void* in);

// Payload decoders: false when the payload does not have the message's layout (a wrong
// size, a negative size or offset, a text without its NUL), which ends the session.
[[nodiscard]] bool ParseHello(const char* payload, int length, std::string& program);
[[nodiscard]] bool ParseText(const char* payload, int length, int limit, std::string_view& text);
[[nodiscard]] bool ParseOffer(const char* payload, int length, ExtOffer& offer);
[[nodiscard]] bool ParseReply(const char* payload, int length, ExtReply& reply);
[[nodiscard]] bool ParseStart(const char* payload, int length, int64_t& offset);
[[nodiscard]] bool ParseEnd(const char* payload, int length, ExtEnd& end);
// MSG_EXT_BATCH: the names as they came (a receiver cleans them before use).
[[nodiscard]] bool ParseBatch(const char* payload, int length, BatchAnnouncement& batch);
// MSG_EXT_BATCH_REPLY: true with the reason (valid UTF-8, '?' for what is not) when the layout
// holds.
[[nodiscard]] bool ParseBatchReply(int32_t value, const char* payload, int length,
                                   std::string& reason);
[[nodiscard]] bool ParseAuth(int32_t flags, const char* payload, int length, AuthMessage& auth);
// MSG_AUTH_RESULT: true when the peer accepted, with the name its acceptance carries (as
// it came, up to its NUL; empty when it has none) in `name` when given; false with its line
// in `refusal` (valid UTF-8; "?" for a malformed result).
[[nodiscard]] bool ParseAuthResult(int32_t value, const char* payload, int length,
                                   std::string& refusal, std::string* name = nullptr);

// Encoders: each writes header and payload into `out` (room for the whole message) and
// returns the message's size.
[[nodiscard]] int BuildHello(char* out, std::string_view program, int32_t version);
[[nodiscard]] int BuildText(char* out, int32_t type, std::string_view text);
[[nodiscard]] int BuildOffer(char* out, int32_t id, int32_t flags, const ExtOffer& offer);
[[nodiscard]] int BuildReply(char* out, int32_t id, int32_t status, const ExtReply& reply);
[[nodiscard]] int BuildStart(char* out, int32_t id, int64_t offset);
[[nodiscard]] int BuildEnd(char* out, int32_t id, int32_t status, const ExtEnd& end);
[[nodiscard]] int BuildAuth(char* out, const AuthMessage& auth);
// MSG_EXT_BATCH: names beyond MAX_BATCH_NAMES are left out, each cut to MAX_BATCH_NAME bytes at
// a character boundary. `out` has room for HEADER_SIZE + MAX_BATCH_PAYLOAD.
[[nodiscard]] int BuildBatch(char* out, const BatchAnnouncement& batch);
// MSG_EXT_BATCH_REPLY, the reason cut to MAX_BATCH_REASON - 1 bytes at a character boundary;
// `out` has room for HEADER_SIZE + MAX_BATCH_REASON.
[[nodiscard]] int BuildBatchReply(char* out, int32_t value, std::string_view reason);
// MSG_AUTH_RESULT accepting: without a payload, or with `name` (cut to MAX_INSTALLATION_NAME
// bytes) and its NUL when `named`.
[[nodiscard]] int BuildAcceptance(char* out, bool named, std::string_view name);

}  // namespace tovrin
