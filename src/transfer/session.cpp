#include "transfer/session.h"

#include <utility>

#include "port/format.h"
#include "port/texts.h"
#include "port/window_port.h"
#include "transfer/connection.h"
#include "transfer/transfer_meter.h"

namespace tovrin {

Session::Session(WindowPort& port, SendQueue& queue, std::string save_dir)
    : port(port), queue(queue), save_dir(std::move(save_dir)) {}

Session::~Session() {
  for (const PendingOpening& opening : openings) opening.connection->Shutdown();
  attempt.fetch_add(1);
  std::unique_lock<std::mutex> lock(wake_mutex_);
  wake_.notify_all();
  wake_.wait(lock, [this] { return threads_ == 0; });
}

void Session::Notify() {
  { std::lock_guard<std::mutex> lock(wake_mutex_); }
  wake_.notify_all();
}

void BatchState::ResetPeer() {
  peer_files.store(0);
  peer_queue.store(PEER_QUEUE_UNKNOWN);
  peer_progress_ms.store(SteadyMilliseconds());
}

void Session::ReportViolation(uint32_t number, const char* reason) {
  if (Ended(number) || violation_reported_.exchange(number) == number) return;
  port.AppendChatLog(FormatLine(text::PEER_VIOLATION, reason));
}

void Session::ThreadStarted() {
  std::lock_guard<std::mutex> lock(wake_mutex_);
  ++threads_;
}

void Session::ThreadEnded() {
  // Notified under the lock: the destructor may be waiting to free the condition variable.
  std::lock_guard<std::mutex> lock(wake_mutex_);
  --threads_;
  wake_.notify_all();
}

}  // namespace tovrin
