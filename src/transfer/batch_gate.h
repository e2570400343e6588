#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/extended.h"
#include "transfer/session.h"

namespace tovrin {

class Connection;

// The receiving side's say over the peer's files, on the receive worker's thread: the one
// place that decides whether a batch (or, from a peer that cannot announce its batches, the
// session's offers) is received. A version-5 peer announces each batch (MSG_EXT_BATCH) and
// offers nothing of it before the answer; the batch is declined when the save folder's file
// system lacks the room, else by the session's accept policy, which may put the question to
// the user (WindowPort::AskIncomingBatch) while the reader keeps reading. A peer that cannot
// announce gets the same question for its first offer, and the answer holds for the session.
class BatchGate final {
 public:
  BatchGate(Session& s, Connection& connection);
  // Closes a question still open: the session has ended.
  ~BatchGate();
  BatchGate(const BatchGate&) = delete;
  BatchGate& operator=(const BatchGate&) = delete;

  // MSG_EXT_BATCH; `folder` is the folder text the batch's files would land in as far as it
  // is known (nullopt: a refused one). Why it breaks the wire (an announcement while one is
  // unanswered, or a wrong layout), or nullptr.
  [[nodiscard]] const char* Announced(const char* payload, int length,
                                      const std::optional<std::string>& folder);
  // MSG_BATCH_DONE: the running batch has ended.
  void BatchEnded();

  // What becomes of an offer: carried, held until the user's answer (with everything of the
  // peer's transfer after it), refused, or a breach of the wire (an offer outside an accepted
  // batch in a session that announces). `first_name` names the file for a question.
  enum class Verdict { kCarry, kHold, kRefuse, kBroken };
  [[nodiscard]] Verdict Offer(const std::string& first_name);
  // An unannounced question is open: the peer's transfer is held.
  [[nodiscard]] bool holding() const { return gate_ == State::kAsking; }

  // Before the reader waits: settles an open question that has been answered or has run out
  // of time. True when the gate's question was settled just now (what was held is to be
  // carried again).
  bool Poll();

 private:
  enum class State { kNone, kAsking, kAccepted, kDeclined };
  // Why a batch is declined: in this side's words (its log) and in the peer's (Japanese).
  struct Reason {
    std::string local;
    std::string peer;
  };

  // The policy's word on the peer's files: accept (true), decline (false, with why), or ask
  // the user (nullopt).
  [[nodiscard]] std::optional<bool> Policy(Reason& why) const;
  // Whether the save folder's file system lacks the room for `batch`; why when it does.
  [[nodiscard]] bool NoRoom(const BatchAnnouncement& batch,
                            const std::optional<std::string>& folder, Reason& why) const;
  void Ask(bool announced, uint64_t files, uint64_t bytes, std::vector<std::string> names);
  // The announced batch's answer goes to the peer, a decline logged with why.
  void Reply(bool accepted, const Reason& why);
  // The unannounced peer's refusal: logged once, and told once as a chat line.
  void Refuse(const Reason& why);

  Session& s_;
  Connection& connection_;
  State batch_ = State::kNone;  // the announced batch
  State gate_ = State::kNone;   // a peer that cannot announce: the session's answer
  bool refusal_told_ = false;
  uint64_t files_ = 0;  // the announced batch's, as a decline shows them
  uint64_t bytes_ = 0;
  // The open question: its number, the user's answer (-1 none yet, 0 declined, 1 accepted,
  // set by the port's callback on any thread), and when it runs out.
  uint64_t question_ = 0;
  std::shared_ptr<std::atomic<int>> answer_;
  std::chrono::steady_clock::time_point deadline_;
};

}  // namespace tovrin
