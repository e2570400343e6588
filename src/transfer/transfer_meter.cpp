#include "transfer/transfer_meter.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "port/format.h"
#include "port/window_port.h"
#include "transfer/session.h"

namespace tovrin {

namespace {
// The time left is defined with this single-precision factor; a double 0.001 would round
// some values to another whole second.
constexpr float SECONDS_PER_MILLISECOND = 0.001f;
// The batch's words are worked out at most this often while bytes move; a file's end shows
// them at once.
constexpr uint32_t BATCH_TEXT_INTERVAL_MS = 100;

int64_t SaturatingAdd(int64_t a, int64_t b) {
  int64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? INT64_MAX : sum;
}
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

TransferMeter::~TransferMeter() { SetBatchText(std::string()); }

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
  StartBatch();
  bytes_before_ = SaturatingAdd(bytes_before_, position_);
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
  position_ = SaturatingAdd(position_, bytes);
  bytes_moved_ = SaturatingAdd(bytes_moved_, bytes);
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
  ShowBatch(false);
}

void TransferMeter::FileDone() {
  StartBatch();
  ++files_done_;
  ShowBatch(true);
}

void TransferMeter::StartBatch() {
  if (batch_running_) return;
  batch_running_ = true;
  batch_start_ = clock_();
}

int64_t TransferMeter::BytesDone() const { return SaturatingAdd(bytes_before_, position_); }

void TransferMeter::ShowBatch(bool now) {
  const uint32_t time = clock_();
  if (!now && !batch_text_.empty() && time - batch_text_time_ < BATCH_TEXT_INTERVAL_MS) return;
  batch_text_time_ = time;
  const BatchState& batch = session_.batch;
  const bool send = direction_ == Direction::kSend;
  BatchFigures figures;
  figures.files_done = files_done_;
  figures.files_total = (send ? batch.send_files_total : batch.recv_files_total).load();
  figures.bytes_done = static_cast<uint64_t>(BytesDone());
  figures.bytes_total = (send ? batch.send_bytes_total : batch.recv_bytes_total).load();
  // The meter's rate is in bytes per millisecond.
  figures.bytes_per_second = static_cast<uint64_t>(std::max(rate_word().load(), 0)) * 1000;
  SetBatchText(FormatBatchProgress(figures));
}

void TransferMeter::SetBatchText(const std::string& text) {
  if (text == batch_text_) return;
  batch_text_ = text;
  if (direction_ == Direction::kSend) {
    session_.port.SetSendBatchText(text);
  } else {
    session_.port.SetRecvBatchText(text);
  }
}

std::string TransferMeter::BatchSummary() const {
  const uint32_t elapsed = batch_running_ ? clock_() - batch_start_ : 0;
  const auto moved = static_cast<uint64_t>(bytes_moved_);
  return FormatBatchSummary(files_done_, static_cast<uint64_t>(BytesDone()), (elapsed + 500) / 1000,
                            moved * 1000 / std::max<uint32_t>(elapsed, 1));
}

void TransferMeter::Reset() {
  SetBar(0);
  rate_word().store(0);
  eta_word().store(0);
  RefreshStatusLine();
  BatchState& batch = session_.batch;
  const bool send = direction_ == Direction::kSend;
  (send ? batch.send_files_total : batch.recv_files_total).store(0);
  (send ? batch.send_bytes_total : batch.recv_bytes_total).store(0);
  total_ = position_ = resumed_at_ = 0;
  batch_running_ = false;
  files_done_ = 0;
  bytes_before_ = bytes_moved_ = 0;
  SetBatchText(std::string());
}

void TransferMeter::RefreshStatusLine() {
  session_.port.SetStatusText(FormatStatusLine(session_.send_rate.load(), session_.send_eta.load(),
                                               session_.recv_rate.load(),
                                               session_.recv_eta.load()));
}

}  // namespace tovrin
