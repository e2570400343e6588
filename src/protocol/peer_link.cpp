#include "protocol/peer_link.h"

#include <algorithm>

namespace tovrin {

void PeerLink::SettleExtended(int peer_version) {
  version_.store(std::min(peer_version, own_version_), std::memory_order_release);
}

bool PeerLink::Deliver(const Answer& answer) {
  deliverer_.Check();
  std::lock_guard<std::mutex> lock(answers_lock_);
  if (answer.type == MSG_OFFER_REPLY && !answers_.empty() &&
      answers_.back().type == MSG_OFFER_REPLY) {
    answers_.back() = answer;
    return true;
  }
  if (answers_.size() >= MAX_ANSWERS) return false;
  answers_.push_back(answer);
  return true;
}

bool PeerLink::Take(Answer& answer) {
  taker_.Check();
  std::lock_guard<std::mutex> lock(answers_lock_);
  if (answers_.empty()) return false;
  answer = answers_.front();
  answers_.pop_front();
  return true;
}

bool PeerLink::HasAnswers() {
  taker_.Check();
  std::lock_guard<std::mutex> lock(answers_lock_);
  return !answers_.empty();
}

}  // namespace tovrin
