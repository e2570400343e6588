#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "net/owner_thread.h"
#include "protocol/extended.h"

namespace tovrin {

// What one connection knows of the extension: the version this side speaks on it, what the
// peer's first message said, and the peer's answers to this side's offers (on either wire) on
// their way from the receive worker to the send worker.
class PeerLink final {
 public:
  // version() before the peer's first message has been read.
  static constexpr int UNSETTLED = -1;
  // Answers that may wait for the send worker: one per offer in the window. More are
  // answers to offers never made.
  static constexpr std::size_t MAX_ANSWERS = 2 * OFFER_WINDOW;

  struct Answer {
    int32_t type = 0;  // MSG_OFFER_REPLY, MSG_EXT_REPLY, MSG_EXT_DONE or MSG_EXT_BATCH_REPLY
    int32_t id = 0;    // the offer's id; on the classic wire the peer's handle
    int32_t value = 0;
    ExtReply reply;      // MSG_EXT_REPLY only
    std::string reason;  // MSG_EXT_BATCH_REPLY only
  };

  // Who the peer is, for the receiver's decisions about its batches: set once by the session
  // control before the workers start.
  struct Peer {
    bool paired = false;  // authenticated by a paired key (or just paired)
    std::string who;      // its installation's name, or its address
  };
  void SetPeer(Peer peer) { peer_ = std::move(peer); }
  [[nodiscard]] const Peer& peer() const { return peer_; }
  // The peer announces its batches and waits for the answer.
  [[nodiscard]] bool announces_batches() const { return version() >= FIRST_BATCH_VERSION; }

  // Set once by the opening, before any worker starts.
  void SetOwnVersion(int version) { own_version_ = version; }
  // The version this side speaks on this connection; 0 with the extension switched off.
  [[nodiscard]] int own_version() const { return own_version_; }

  // The version both sides speak: UNSETTLED until the opening has read the peer's first
  // message (or waited for it in vain), 0 when it was no hello (or this side speaks classic
  // only), else the lower of the two.
  [[nodiscard]] int version() const { return version_.load(std::memory_order_acquire); }
  [[nodiscard]] bool extended() const { return version() > 0; }
  // The opening: the peer's first message was its hello, of `peer_version`.
  void SettleExtended(int peer_version);
  // The opening: the peer's first message was something else, or none came.
  void SettleClassic() { version_.store(0, std::memory_order_release); }

  // Receive worker only (asserted): false when MAX_ANSWERS already wait (the session is to
  // end). A classic reply replaces one still waiting: the classic wire has one offer
  // outstanding, and the last reply to it counts.
  [[nodiscard]] bool Deliver(const Answer& answer);
  // Send worker only (asserted), as HasAnswers.
  [[nodiscard]] bool Take(Answer& answer);
  [[nodiscard]] bool HasAnswers();

 private:
  int own_version_ = 0;
  Peer peer_;
  std::atomic<int> version_{UNSETTLED};
  std::mutex answers_lock_;
  std::deque<Answer> answers_;
  OwnerThread deliverer_;
  OwnerThread taker_;
};

}  // namespace tovrin
