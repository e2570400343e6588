#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace tovrin {

// A worker's start routine: one pointer-sized parameter, a 32-bit exit code.
using ThreadRoutine = uint32_t (*)(void* parameter);

// Shows the record's two warnings. The window front end installs a message box; the
// default writes "caption: text" to standard error.
using MessageBoxHandler = void (*)(const std::string& text, const std::string& caption);
void SetMessageBoxHandler(MessageBoxHandler handler);
void ShowMessageBox(const std::string& text, const std::string& caption);

// The record through which a worker thread is started and ended. Threads run detached: a
// finished thread releases its resources by itself and process exit never waits for one.
class CTHREAD final {
 public:
  CTHREAD() = default;
  ~CTHREAD() = default;
  CTHREAD(const CTHREAD&) = delete;
  CTHREAD& operator=(const CTHREAD&) = delete;

  // UI thread. Refused with "このThreadは既に作られています。" / "警告" while the record holds a
  // thread; "スレッドが作れませんでした" / "エラー" when none can be created. The record is marked
  // running before the thread exists, so a routine that reaches Exit at once still empties it.
  bool Start(ThreadRoutine routine, void* parameter, int priority, uint32_t flags);

  // Called by the worker as its last act; the routine returns right after it.
  void Exit(uint32_t code);

  // Forgets a thread still held (threads are never killed); true.
  bool Terminate(uint32_t code);

  [[nodiscard]] bool IsRunning() const { return running_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> running_{false};
  ThreadRoutine routine_ = nullptr;
  uint32_t thread_ident_ = 0;
};

}  // namespace tovrin
