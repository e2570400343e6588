#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/extended.h"
#include "protocol/file_hash.h"
#include "protocol/peer_link.h"
#include "storage/storage.h"
#include "transfer/held_log.h"

namespace tovrin {

class Connection;
class TransferMeter;
struct Session;

// A queued item together with the directory of the folder header it belongs to.
struct QueuedItem {
  std::string dir;
  std::string item;
};

// The offering side of an extended session's files, on the send worker's thread. Up to
// OFFER_WINDOW offers are outstanding at once and each file's data follows as soon as its
// reply is there, so a tree of small files pays no round trip per file. Every file is sent
// with its hash; a resume first compares the hash of the part the peer holds, and a file the
// peer finds different is offered once more. Exactly the offered size is sent: a source that
// changed while it was sent is abandoned and offered once more, from its new state.
//
// Small messages are batched and leave together before the worker waits, or once a batch
// grows large; every message still leaves whole. Send-log lines are held likewise and shown,
// in order and in one step on the UI thread, before anything leaves, before any other
// window operation of the worker, and by ShowLog.
class PipelinedSender final {
 public:
  // `announced` is the folder the peer last heard of (shared with the classic offers).
  PipelinedSender(Session& s, Connection& connection, uint32_t attempt, TransferMeter& meter,
                  std::optional<std::string>& announced);
  PipelinedSender(const PipelinedSender&) = delete;
  PipelinedSender& operator=(const PipelinedSender&) = delete;

  // Offers the file `dir` + `item` (Full() must be false), whose source the caller opened as
  // `file` (closed when it could not be opened).
  // Sources that cannot be offered are logged and dropped. False when the session is to end.
  [[nodiscard]] bool Offer(const QueuedItem& entry, File file);
  // Takes the peer's answers, streams every file whose reply is there and offers a file that
  // failed its check again. Ends the batch when the last file is done and the queue is
  // empty. False when the session is to end (also when the peer's answers break the order).
  [[nodiscard]] bool Pump();
  // Sends what is batched, then waits up to IDLE_CHECK for an answer or the session's end.
  [[nodiscard]] bool Wait();
  // Sends what is batched.
  [[nodiscard]] bool Flush();
  // Tells the peer the state of our queue (MSG_EXT_QUEUE, QUEUE_EMPTY or QUEUE_SENDING);
  // it leaves with the batch.
  [[nodiscard]] bool AnnounceQueue(int32_t state);

  [[nodiscard]] bool Full() const { return window_.size() >= static_cast<size_t>(OFFER_WINDOW); }
  [[nodiscard]] bool Idle() const { return window_.empty() && resends_.empty(); }

  // UI thread or worker: shows the held send-log lines, in order; the send worker calls it in
  // the same UI step as its next queue operation.
  void ShowLog();

  // At the end of the session: every file not known to be complete at the peer, in order
  // (files to offer again first), for the front of the queue. Their sources are closed, and
  // each file whose data had gone out is logged as cut off.
  [[nodiscard]] std::vector<QueuedItem> TakeUnfinished();

 private:
  struct Pending {
    QueuedItem entry;
    int32_t id = 0;
    File file;
    int64_t size = 0;
    int64_t mtime_ns = 0;    // as offered
    int64_t sent = 0;        // the offset the data has reached
    bool resend = false;     // offered again after a failed check
    bool reoffered = false;  // offered again after its source changed
    bool abandoned = false;  // the source could not be read to its end, or changed
    bool changed = false;    // the source changed while it was sent
    bool started = false;    // its MSG_EXT_START has been sent
    enum class State { kOffered, kAnswered, kStreamed } state = State::kOffered;
    ExtReply reply;
  };

  // A file to offer once more, and why.
  struct Retry {
    QueuedItem entry;
    bool resend = false;
    bool reoffered = false;
  };

  bool OfferOpen(const Retry& retry, File file);
  // nullptr when the answer fits, else why it breaks the rules.
  const char* TakeReply(const PeerLink::Answer& answer);
  const char* TakeDone(const PeerLink::Answer& answer);
  // True when the source is no longer what was offered.
  bool Changed(const Pending& p);
  // A queued file that will not reach the peer.
  void Undelivered();
  // A send-log line, held until the next ShowLog.
  void Log(std::string line);
  bool Stream(Pending& p);
  // Hashes the first `length` bytes of `file` into `hash`; false when they cannot be read.
  bool HashPrefix(const File& file, int64_t length, FileHash& hash);
  bool EndBatch();
  // Makes room for `count` more bytes in the batch, sending it first when needed.
  bool Room(int count);
  char* Tail() { return batch_.get() + used_; }
  [[nodiscard]] bool Ended() const;

  Session& s_;
  Connection& connection_;
  PeerLink& link_;
  const uint32_t attempt_;
  TransferMeter& meter_;
  std::optional<std::string>& announced_;
  std::deque<Pending> window_;
  std::deque<Retry> resends_;
  int32_t next_id_ = 1;
  bool finished_ = false;  // a file was done since the last batch end
  std::unique_ptr<char[]> batch_;
  int used_ = 0;
  HeldLog held_log_;
};

}  // namespace tovrin
