#include "app/cthread.h"
// Placeholder until the thread record lands.
namespace tovrin {
void SetMessageBoxHandler(MessageBoxHandler) {}
void ShowMessageBox(const std::string&, const std::string&) {}
bool CTHREAD::Start(ThreadRoutine, void*, int, uint32_t) { return false; }
void CTHREAD::Exit(uint32_t) { running_.store(false); }
bool CTHREAD::Terminate(uint32_t) { return true; }
}  // namespace tovrin
