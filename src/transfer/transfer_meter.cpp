#include "transfer/transfer_meter.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "port/window_port.h"
#include "transfer/session.h"

namespace tovrin {

namespace {
// The time left is defined with this single-precision factor; a double 0.001 would round
// some values to another whole second.
constexpr float SECONDS_PER_MILLISECOND = 0.001f;
}  // namespace

std::string FormatStatusLine(int32_t send_rate, int32_t send_eta, int32_t recv_rate,
                             int32_t recv_eta) {
  char line[128];
  std::snprintf(line, sizeof line, "%dK(%d:%02d)/%dK(%d:%02d)", send_rate, send_eta / 60,
                send_eta % 60, recv_rate, recv_eta / 60, recv_eta % 60);
  return line;
}

uint32_t SteadyMilliseconds() {
  using namespace std::chrono;
  return static_cast<uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

TransferMeter::TransferMeter(Session& session, Direction direction, MillisecondClock clock)
    : session_(session), direction_(direction), clock_(clock) {}

std::atomic<int32_t>& TransferMeter::rate_word() {
  return direction_ == Direction::kSend ? session_.send_rate : session_.recv_rate;
}

std::atomic<int32_t>& TransferMeter::eta_word() {
  return direction_ == Direction::kSend ? session_.send_eta : session_.recv_eta;
}

void TransferMeter::SetBar(int percent) {
  if (direction_ == Direction::kSend) {
    session_.port.SetSendProgress(percent);
  } else {
    session_.port.SetRecvProgress(percent);
  }
}

void TransferMeter::BeginFile(int64_t total) {
  total_ = total;
  position_ = 0;
  resumed_at_ = 0;
  start_time_ = clock_();
}

void TransferMeter::SetPosition(int64_t offset) { position_ = offset; }

void TransferMeter::ResumeFrom(int64_t offset) {
  position_ = offset;
  resumed_at_ = offset;
}

void TransferMeter::Advance(int64_t bytes) {
  // Saturates rather than overflows: a peer's sizes and offsets are not to be trusted.
  if (__builtin_add_overflow(position_, bytes, &position_)) position_ = INT64_MAX;
  if (total_ > 0) {
    // A file that grew while it was sent, or a peer that seeks past what it offered, takes
    // position past total, by a ratio no int holds; the bars only know 0..100. Clamped
    // before the conversion, which would otherwise be undefined.
    const double percent = static_cast<double>(position_) * 100.0 / static_cast<double>(total_);
    SetBar(static_cast<int>(std::clamp(percent, 0.0, 100.0)));
  }
  int32_t elapsed = static_cast<int32_t>(clock_() - start_time_);
  if (elapsed == 0) elapsed = 1;
  const auto rate = static_cast<int32_t>(
      std::clamp<int64_t>((position_ - std::min(resumed_at_, position_)) / elapsed, 1, INT32_MAX));
  rate_word().store(rate);
  const double remaining = (static_cast<double>(total_) - static_cast<double>(position_)) *
                           static_cast<double>(SECONDS_PER_MILLISECOND) / static_cast<double>(rate);
  // Past the end there is nothing left to wait for: 0:00, never a negative time.
  eta_word().store(static_cast<int32_t>(std::clamp(remaining, 0.0, double{INT32_MAX})));
  RefreshStatusLine();
}

void TransferMeter::Reset() {
  SetBar(0);
  rate_word().store(0);
  eta_word().store(0);
  RefreshStatusLine();
}

void TransferMeter::RefreshStatusLine() {
  session_.port.SetStatusText(FormatStatusLine(session_.send_rate.load(), session_.send_eta.load(),
                                               session_.recv_rate.load(),
                                               session_.recv_eta.load()));
}

}  // namespace tovrin
