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

// Progress, rate and time left of one direction, for the file under way and for the running
// batch. Used by one worker only.
//
// The batch counts the files that arrived whole (at the sender: known to be complete at the
// peer) and, as its bytes done, every file's position when the next one begins: the bytes
// moved for file bodies plus the part a resumed file already held. Its words go to the port
// at the meter's pace, "" when the batch or the session ends.
class TransferMeter final {
 public:
  enum class Direction { kSend, kReceive };

  TransferMeter(Session& session, Direction direction, MillisecondClock clock = SteadyMilliseconds);
  // The session's end: the batch's words are taken away.
  ~TransferMeter();
  TransferMeter(const TransferMeter&) = delete;
  TransferMeter& operator=(const TransferMeter&) = delete;

  void BeginFile(int64_t total);
  void SetPosition(int64_t offset);
  // The file's transfer resumes at `offset`: the rate and time left count only the bytes
  // moved from there on (extended sessions; the classic SetPosition keeps its formula).
  void ResumeFrom(int64_t offset);
  void Advance(int64_t bytes);
  // A file of the running batch arrived whole.
  void FileDone();
  // The running batch in one line, for the logs at its end.
  [[nodiscard]] std::string BatchSummary() const;
  // The batch has ended: the bar, the rate and the time left back to zero, the batch's counts,
  // totals and words cleared.
  void Reset();
  void RefreshStatusLine();

 private:
  void SetBar(int percent);
  void StartBatch();
  [[nodiscard]] int64_t BytesDone() const;
  // The batch's words, when they changed; `now`: also before BATCH_TEXT_INTERVAL_MS has
  // passed since they were last worked out.
  void ShowBatch(bool now);
  void SetBatchText(const std::string& text);
  std::atomic<int32_t>& rate_word();
  std::atomic<int32_t>& eta_word();

  Session& session_;
  const Direction direction_;
  const MillisecondClock clock_;
  int64_t total_ = 0;
  int64_t position_ = 0;
  int64_t resumed_at_ = 0;
  uint32_t start_time_ = 0;
  // The running batch: started when its first file begins or is done.
  bool batch_running_ = false;
  uint32_t batch_start_ = 0;
  uint64_t files_done_ = 0;
  int64_t bytes_before_ = 0;  // the positions of its files before the current one
  int64_t bytes_moved_ = 0;   // by Advance
  std::string batch_text_;    // as last shown
  uint32_t batch_text_time_ = 0;
};

}  // namespace tovrin
