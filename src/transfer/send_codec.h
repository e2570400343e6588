#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "protocol/file_hash.h"
#include "protocol/peer_link.h"
#include "storage/storage.h"

namespace tovrin {

struct Session;
class TransferMeter;

// A queued item together with the directory of the folder header it belongs to.
struct QueuedItem {
  std::string dir;
  std::string item;
};

// One file of the sender, from its offer until the peer has answered for all of it.
struct Outgoing {
  QueuedItem entry;
  int32_t id = 0;  // the offer's id (extended)
  File file;
  int64_t size = 0;
  int64_t mtime_ns = 0;  // as offered
  uint32_t mode = 0;
  // The peer's answer: its handle (classic), what it holds and the hash of that (extended).
  int32_t handle = 0;
  int64_t held = 0;
  Digest prefix{};
  int64_t sent = 0;        // the offset the data has reached
  bool resend = false;     // offered again after a failed check
  bool reoffered = false;  // offered again after its source changed
  bool abandoned = false;  // the source could not be read to its end, or changed
  bool changed = false;    // the source changed while it was sent
  bool started = false;    // its data has begun
  enum class State { kOffered, kAnswered, kStreamed } state = State::kOffered;
};

// Where a file's data begins, as the codec decides it from the peer's answer.
struct StartPlan {
  bool exists = false;   // the peer holds it whole: no data
  int64_t offset = 0;    // the first byte sent
  bool resumed = false;  // on from what the peer holds
  bool restart = false;  // the peer's part differs: from the start again
};

// The form one wire gives a transfer: its messages, sizes, limits and log lines. The sender
// (send_worker.cpp) drives either codec the same way: offers in a window, answers through the
// connection's PeerLink, data read positionally from the source. Every Build... writes one
// whole message at `out` (room for the largest the codec builds) and returns its size, 0
// when the wire has no such message. The send worker's thread only.
class SendCodec {
 public:
  virtual ~SendCodec() = default;

  // Offers outstanding at once.
  [[nodiscard]] virtual int window() const = 0;
  // Classic: the folder goes out as its queue header is taken; extended: before the first
  // offer below it.
  [[nodiscard]] virtual bool announces_at_header() const = 0;
  // The queue state goes to the peer (MSG_EXT_QUEUE).
  [[nodiscard]] virtual bool announces_queue() const = 0;
  // Every file is hashed, a held part compared before a resume, and the peer's verdict
  // (MSG_EXT_DONE) awaited; exactly the offered size is sent.
  [[nodiscard]] virtual bool verifies() const = 0;
  [[nodiscard]] virtual int chunk_size() const = 0;

  // Whether `item` can be offered under its name on this wire, and the largest size.
  [[nodiscard]] virtual bool Sendable(const std::string& item) const = 0;
  [[nodiscard]] virtual int64_t max_size() const = 0;

  virtual int BuildFolder(char* out, const std::string& dir) = 0;
  virtual int BuildOffer(char* out, const Outgoing& f) = 0;
  // Takes the peer's answer to the oldest offer not answered yet, `f` (nullptr when every
  // offer is answered). nullptr when it fits (`accepted` says whether the peer takes the
  // file; an answer to no offer of a classic peer is dropped), else why it breaks the rules.
  virtual const char* TakeReply(const PeerLink::Answer& answer, Outgoing* f, bool& accepted) = 0;
  // A refused file: what still goes to the peer for it.
  virtual int BuildRefused(char* out, const Outgoing& f) = 0;

  // Where the data of `f` begins; `prefix_matches`: the hash of the part the peer holds is the
  // source's (always true when the codec does not verify).
  [[nodiscard]] virtual StartPlan Plan(const Outgoing& f, bool prefix_matches) const = 0;
  // The "sending" and resume lines of a file whose data goes out.
  [[nodiscard]] virtual std::string SendingLine(const Outgoing& f) const = 0;
  [[nodiscard]] virtual std::string ResumingLine(const Outgoing& f) const = 0;
  virtual void BeginMeter(TransferMeter& meter, const Outgoing& f, const StartPlan& plan) = 0;
  virtual int BuildStart(char* out, const Outgoing& f, const StartPlan& plan) = 0;
  // The header of a data message of `count` bytes, whose payload follows it at `out`.
  virtual void StoreDataHeader(char* out, const Outgoing& f, int count) = 0;
  // The end of a file: `total` bytes sent, with the hash of all of them.
  virtual int BuildEnd(char* out, const Outgoing& f, int64_t total, const Digest& digest) = 0;
  // The largest message BuildFolder, BuildOffer, BuildRefused, BuildStart and BuildEnd make.
  [[nodiscard]] virtual int max_small_message() const = 0;
};

// The classic wire: one offer at a time, 32-bit sizes, cp932 names, MSG_FILE_SEEK to resume
// one byte before what the peer holds, data to the end of the source, MSG_FILE_CLOSE. The
// answer to its one offer is kept in the record's reply_handle and reply_size.
[[nodiscard]] std::unique_ptr<SendCodec> MakeClassicSendCodec(Session& s);
// The extended wire: a window of offers with ids, 64-bit sizes and times, UTF-8 names, hashes.
[[nodiscard]] std::unique_ptr<SendCodec> MakeExtendedSendCodec();

}  // namespace tovrin
