#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "protocol/file_hash.h"
#include "protocol/frame.h"
#include "storage/save_dir.h"
#include "storage/storage.h"
#include "transfer/held_log.h"

namespace tovrin {

class Connection;
class TransferMeter;
struct Session;

// The receiving side of the peer's files on either wire, on the receive worker's thread.
// Every offer is resolved below the save directory, opened and answered the same way; the
// wires differ in their forms:
//
// - classic (MSG_FILE_OFFER, SEEK, DATA, CLOSE): one file at a time, answered at once with a
//   handle of this receiver's own, which names the file in the peer's later messages (others
//   are ignored) and with what the target holds; data is written where the peer's seek put
//   the file's position. A file that holds less than its offered size when it is closed,
//   the next offer comes or the session ends is reported with what it holds.
// - extended (MSG_EXT_OFFER, START, DATA, END): up to OFFER_WINDOW offers, each answered with
//   what its target already holds and a hash of that part; data is written at 64-bit offsets
//   and hashed as it is written; at its end a file is checked against the sender's hash and
//   then, when this session made or wrote it, gets the source's time and execute bits. A file
//   that differs is emptied, never left looking complete. Breaking the order or the layout
//   ends the session.
//
// Answers are gathered and leave together (a classic reply at once); receive-log lines are
// held until the answers leave, the reader waits, or the receive worker makes any other
// window operation (it calls ShowLog first).
class FileReceiver final {
 public:
  // `folder` is the receive worker's current folder text (nullopt: a refused one).
  FileReceiver(Session& s, Connection& connection, TransferMeter& meter,
               const std::optional<std::string>& folder);
  FileReceiver(const FileReceiver&) = delete;
  FileReceiver& operator=(const FileReceiver&) = delete;

  // The file messages of either wire. False when the session is to end: the message breaks
  // the extension's layout or order (violation() says why), or the answers cannot be posted.
  [[nodiscard]] bool Carry(const FrameHeader& h, const char* payload);
  // The answers gathered so far leave together; called before the reader waits for more of
  // the peer's messages, so a batch of small files costs one send.
  [[nodiscard]] bool PostAnswers();
  // Shows the held receive-log lines, in order, in one step on the UI thread.
  void ShowLog();

  // Why the last Carry that returned false ended the session; empty when it was no
  // violation of the wire.
  [[nodiscard]] const std::string& violation() const { return violation_; }
  // Refuses an offer of either wire without looking at its target: the session's answer to
  // the peer's files was no. False when an extended offer breaks the layout or the order.
  [[nodiscard]] bool Refuse(const FrameHeader& h, const char* payload);
  // Files that arrived whole since the last call, and the folder that holds them (ending in
  // '/'): the subfolder when the subfolder box put them all below one folder text, else the
  // save folder. For the end of a batch.
  struct Arrived {
    int files = 0;
    std::string folder;
  };
  [[nodiscard]] Arrived TakeArrived();
  // Accepted files not ended yet.
  [[nodiscard]] int files() const;
  // Files that did not arrive whole since the last call (refused, not written, short, failed
  // their check for good, abandoned by the sender): for the end of a batch.
  [[nodiscard]] int TakeFailures();
  // At the end of the session: every file still open is reported with what it holds.
  void EndSession();

 private:
  struct Incoming {
    File file;          // a file cut off by the end of the session keeps what was written
    std::string shown;  // as logged: the folder text and the name
    std::string folder;  // the folder text it went below
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

  // The target of an offer named `name` below the save directory, in the current folder when
  // the subfolder box is ticked, opened for `access`; its file is closed when it cannot be
  // opened or the name (nullopt, its text `lossy_name`) or the folder is refused. `target`:
  // the path a refusal shows.
  Incoming Open(const std::optional<std::string>& name, const std::string& lossy_name,
                TargetAccess access, std::string& target);

  bool ClassicOffer(const FrameHeader& h, const char* payload);
  void ClassicSeek(const FrameHeader& h);
  void ClassicData(const FrameHeader& h, const char* payload);
  void ClassicClose(const FrameHeader& h);
  // The classic file, when `handle` names it and it is still written.
  Incoming* Honoured(int32_t handle);
  // Ends the classic file, reported when it holds less than its offered size.
  void EndClassic();

  bool Offer(const FrameHeader& h, const char* payload);
  bool Start(const FrameHeader& h, const char* payload);
  bool Data(const FrameHeader& h, const char* payload);
  bool End(const FrameHeader& h, const char* payload);
  // A violation of the wire: why, and false.
  bool Broken(std::string reason);
  // A file that arrived whole.
  void Count(const Incoming& in);
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
  TargetOpener opener_;
  const std::optional<std::string>& folder_;
  std::optional<Incoming> classic_;    // the classic offer's file
  int32_t classic_handle_ = -1;        // the handle the peer was given for it
  int32_t next_handle_;                // the next one handed out
  std::map<int32_t, Incoming> files_;  // accepted extended offers until their end
  std::optional<int32_t> streaming_;   // the offer whose data is arriving
  std::vector<char> scratch_;          // for reading held parts
  std::vector<char> answers_;          // replies and verdicts not posted yet
  int answer_count_ = 0;
  int failures_ = 0;
  int arrived_ = 0;
  std::optional<std::string> arrived_folder_;  // the folder text of every file that arrived
  bool folders_differ_ = false;
  std::string violation_;
  HeldLog held_log_;
};

}  // namespace tovrin
