#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace tovrin {

struct Session;

// The status line "%dK(%d:%02d)/%dK(%d:%02d)": send rate and time left, then receive.
[[nodiscard]] std::string FormatStatusLine(int32_t send_rate, int32_t send_eta, int32_t recv_rate,
                                           int32_t recv_eta);

// Millisecond clock; tests replace it.
using MillisecondClock = uint32_t (*)();
[[nodiscard]] uint32_t SteadyMilliseconds();

// Progress, rate and time left of one direction. Used by one worker only.
class TransferMeter final {
 public:
  enum class Direction { kSend, kReceive };

  TransferMeter(Session& session, Direction direction, MillisecondClock clock = SteadyMilliseconds);

  void BeginFile(int64_t total);
  void SetPosition(int64_t offset);
  // The file's transfer resumes at `offset`: the rate and time left count only the bytes
  // moved from there on (extended sessions; the classic SetPosition keeps its formula).
  void ResumeFrom(int64_t offset);
  void Advance(int64_t bytes);
  void Reset();
  void RefreshStatusLine();

 private:
  void SetBar(int percent);
  std::atomic<int32_t>& rate_word();
  std::atomic<int32_t>& eta_word();

  Session& session_;
  const Direction direction_;
  const MillisecondClock clock_;
  int64_t total_ = 0;
  int64_t position_ = 0;
  int64_t resumed_at_ = 0;
  uint32_t start_time_ = 0;
};

}  // namespace tovrin
