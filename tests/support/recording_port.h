#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "port/inline_port.h"

namespace tovrin::testing {

// Polls `ready` until it holds or `limit` passes; true when it held.
inline bool WaitFor(const std::function<bool()>& ready,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  for (const auto deadline = std::chrono::steady_clock::now() + limit; !ready();) {
    if (std::chrono::steady_clock::now() >= deadline) return ready();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// How often `line` occurs in `log`.
inline int CountLine(const std::vector<std::string>& log, const std::string& line) {
  return static_cast<int>(std::count(log.begin(), log.end(), line));
}

// The inline window port, recording every log line. Its "UI thread" is whichever thread
// holds its lock, so operations run inline and in order, as on a real window.
class RecordingPort final : public InlinePort {
 public:
  // Snapshots, under the lock.
  std::vector<std::string> chat_log() { return Snapshot(Log::kChat); }
  std::vector<std::string> send_log() { return Snapshot(Log::kSend); }
  std::vector<std::string> recv_log() { return Snapshot(Log::kRecv); }
  bool HasChatLine(const std::string& line) { return CountChatLine(line) > 0; }
  bool HasSendLine(const std::string& line) { return CountLine(send_log(), line) > 0; }
  bool HasRecvLine(const std::string& line) { return CountLine(recv_log(), line) > 0; }
  int CountChatLine(const std::string& line) { return CountLine(chat_log(), line); }
  // A chat line that goes on past `prefix`.
  bool HasChatLineAfter(const std::string& prefix) {
    const std::vector<std::string> log = chat_log();
    return std::any_of(log.begin(), log.end(), [&](const std::string& line) {
      return line.size() > prefix.size() && line.starts_with(prefix);
    });
  }
  // The folder the last receive-log line `line` came with, or "".
  std::string RecvLineFolder(const std::string& line) {
    const UiLock ui(*this);
    const auto it = folders_.find(line);
    return it == folders_.end() ? std::string() : it->second;
  }
  int attention_requests() {
    const UiLock ui(*this);
    return attention_requests_;
  }

  // Every batch text each direction was given, in order.
  std::vector<std::string> batch_texts(bool send) {
    const UiLock ui(*this);
    return batch_texts_[send ? 0 : 1];
  }
  void SetSendBatchText(const std::string& text) override {
    const UiLock ui(*this);
    batch_texts_[0].push_back(text);
  }
  void SetRecvBatchText(const std::string& text) override {
    const UiLock ui(*this);
    batch_texts_[1].push_back(text);
  }

  void AppendRecvFileLog(const std::string& text, const std::string& folder) override {
    const UiLock ui(*this);
    folders_[text] = folder;
    AppendRecvLog(text);
  }
  void AskForAttention() override {
    const UiLock ui(*this);
    ++attention_requests_;
  }

  // Questions about incoming batches wait for the test's Answer; which were closed, and the
  // news of received batches (files, folder) and chat lines.
  void AskIncomingBatch(const IncomingBatch& batch,
                        const std::function<void(bool)>& answer) override {
    const UiLock ui(*this);
    questions_.push_back(batch);
    answer_ = answer;
  }
  void CloseBatchQuestion(uint64_t id) override {
    const UiLock ui(*this);
    closed_.push_back(id);
  }
  void NotifyBatchReceived(uint64_t files, const std::string& folder) override {
    const UiLock ui(*this);
    received_.emplace_back(files, folder);
  }
  void NotifyChatLine(const std::string& text) override {
    const UiLock ui(*this);
    chat_news_.push_back(text);
  }
  std::vector<IncomingBatch> questions() {
    const UiLock ui(*this);
    return questions_;
  }
  std::vector<uint64_t> closed_questions() {
    const UiLock ui(*this);
    return closed_;
  }
  std::vector<std::pair<uint64_t, std::string>> received_news() {
    const UiLock ui(*this);
    return received_;
  }
  std::vector<std::string> chat_news() {
    const UiLock ui(*this);
    return chat_news_;
  }
  // Answers the last question, as the user would (from the test's thread).
  void Answer(bool accept) {
    std::function<void(bool)> answer;
    {
      const UiLock ui(*this);
      answer = answer_;
    }
    if (answer) answer(accept);
  }

 private:
  void WriteLog(Log log, const std::string& text) override {
    logs_[static_cast<int>(log)].push_back(text);
  }
  std::vector<std::string> Snapshot(Log log) {
    const UiLock ui(*this);
    return logs_[static_cast<int>(log)];
  }

  std::vector<std::string> logs_[3];
  std::map<std::string, std::string> folders_;
  std::vector<std::string> batch_texts_[2];
  int attention_requests_ = 0;
  std::vector<IncomingBatch> questions_;
  std::function<void(bool)> answer_;
  std::vector<uint64_t> closed_;
  std::vector<std::pair<uint64_t, std::string>> received_;
  std::vector<std::string> chat_news_;
};

}  // namespace tovrin::testing
