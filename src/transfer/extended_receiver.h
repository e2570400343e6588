#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "protocol/file_hash.h"
#include "protocol/frame.h"
#include "storage/storage.h"
#include "transfer/held_log.h"

namespace tovrin {

class Connection;
class TargetOpener;
class TransferMeter;
struct Session;

// The receiving side of an extended session's files, on the receive worker's thread. Each
// offer is answered with what its target already holds and a hash of that part; data is
// written at 64-bit offsets and hashed as it is written; at its end a file is checked
// against the sender's hash and then, when this session made or wrote it, gets the source's
// time and execute bits. A file that differs is emptied, never left looking complete.
class ExtendedReceiver final {
 public:
  // `folder` is the receive worker's current folder text (nullopt: a refused one).
  ExtendedReceiver(Session& s, Connection& connection, TransferMeter& meter, TargetOpener& opener,
                   const std::optional<std::string>& folder);
  ExtendedReceiver(const ExtendedReceiver&) = delete;
  ExtendedReceiver& operator=(const ExtendedReceiver&) = delete;

  // MSG_EXT_OFFER, MSG_EXT_START, MSG_EXT_DATA and MSG_EXT_END. False when the session is to
  // end: the message breaks the extension's layout or order.
  [[nodiscard]] bool Carry(const FrameHeader& h, const char* payload);
  // The answers gathered so far leave together; called before the reader waits for more of
  // the peer's messages, so a batch of small files costs one send. False when they cannot
  // be posted (the session is to end).
  [[nodiscard]] bool PostAnswers();
  // Shows the held receive-log lines, in order, in one step on the UI thread. Lines are held
  // only until the answers leave, the reader waits, or the receive worker makes any other
  // window operation (it calls this first).
  void ShowLog();

  // Why the last Carry that returned false ended the session; empty when it was no
  // violation of the wire (the answers could not be posted).
  [[nodiscard]] const std::string& violation() const { return violation_; }
  // Accepted files not ended yet.
  [[nodiscard]] int files() const { return static_cast<int>(files_.size()); }
  // Files that did not arrive whole since the last call (refused, not written, failed their
  // check for good, abandoned by the sender): for the end of a batch.
  [[nodiscard]] int TakeFailures();
  // At the end of the session: every file still open is reported with what it holds.
  void EndSession();

 private:
  struct Incoming {
    File file;          // a file cut off by the end of the session keeps what was written
    std::string shown;  // as logged: the folder text and the name
    int64_t size = 0;   // as offered
    int64_t held = 0;   // in the target when it was offered
    int64_t mtime_ns = 0;
    uint32_t mode = 0;         // the source's
    uint32_t target_mode = 0;  // the target's own
    bool resend = false;
    uint64_t device = 0;
    uint64_t inode = 0;
    FileHash hash;  // of the held prefix, then of everything written
    bool started = false;
    bool failed = false;  // a write failed: nothing more is written
    // This offer made the file, or cut it or wrote to it: only then it is stamped.
    bool own = false;
    int64_t position = 0;
  };

  bool Offer(const FrameHeader& h, const char* payload);
  bool Start(const FrameHeader& h, const char* payload);
  bool Data(const FrameHeader& h, const char* payload);
  bool End(const FrameHeader& h, const char* payload);
  // A violation of the wire: why, and false.
  bool Broken(std::string reason);
  // A file that ends without arriving whole, with what it holds.
  void ReportAborted(const Incoming& in, int64_t held);
  // Hashes what the target already holds, as far as the offer reaches; false when the target
  // cannot take the file (already open for another offer, or unreadable).
  bool Examine(Incoming& in);
  void Fail(Incoming& in);
  // A receive-log line, held until the next ShowLog.
  void Log(std::string line);
  // Room for one more answer of `size` bytes at the end of the batch.
  char* AddAnswer(int size);
  Incoming* Streaming(int32_t id);

  Session& s_;
  Connection& connection_;
  TransferMeter& meter_;
  TargetOpener& opener_;
  const std::optional<std::string>& folder_;
  std::map<int32_t, Incoming> files_;  // accepted offers until their end
  std::optional<int32_t> streaming_;   // the offer whose data is arriving
  std::vector<char> scratch_;          // for reading held parts
  std::vector<char> answers_;          // replies and verdicts not posted yet
  int answer_count_ = 0;
  int failures_ = 0;
  std::string violation_;
  HeldLog held_log_;
};

}  // namespace tovrin
