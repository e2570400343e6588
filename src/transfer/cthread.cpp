#include "transfer/cthread.h"

#include <cstdio>
#include <functional>
#include <system_error>
#include <thread>

#include "port/texts.h"

namespace tovrin {
namespace {

void PrintMessageBox(const std::string& text, const std::string& caption) {
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

std::atomic<MessageBoxHandler> message_box_handler{&PrintMessageBox};

}  // namespace

void SetMessageBoxHandler(MessageBoxHandler handler) {
  message_box_handler.store(handler != nullptr ? handler : &PrintMessageBox,
                            std::memory_order_release);
}

void ShowMessageBox(const std::string& text, const std::string& caption) {
  message_box_handler.load(std::memory_order_acquire)(text, caption);
}

bool CTHREAD::Start(ThreadRoutine routine, void* parameter, int /*priority*/, uint32_t /*flags*/) {
  // Marked running before the thread exists: a routine that reaches Exit at once then
  // empties the record instead of having its Exit overwritten by this store.
  if (running_.exchange(true, std::memory_order_acq_rel)) {
    ShowMessageBox(text::THREAD_EXISTS, text::WARNING);
    return false;
  }
  routine_ = routine;
  try {
    std::thread worker(routine, parameter);
    thread_ident_ = static_cast<uint32_t>(std::hash<std::thread::id>{}(worker.get_id()));
    // A finished worker releases its resources by itself; process exit never waits for it.
    worker.detach();
  } catch (const std::system_error&) {
    running_.store(false, std::memory_order_release);
    ShowMessageBox(text::THREAD_FAILED, text::ERROR);
    return false;
  }
  return true;
}

void CTHREAD::Exit(uint32_t /*code*/) { running_.store(false, std::memory_order_release); }

bool CTHREAD::Terminate(uint32_t /*code*/) {
  // Threads are never killed: the record only lets go of a worker still running.
  running_.store(false, std::memory_order_release);
  return true;
}

}  // namespace tovrin
