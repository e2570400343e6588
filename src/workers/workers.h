#pragma once

#include <cstdint>

namespace tovrin {

// The three workers of a session. Each takes a WorkerArgs* (which it owns and deletes),
// reads its connection from it once, and ends its own thread through its CTHREAD record.
uint32_t ReceiveWorker(void* parameter);
uint32_t SendWorker(void* parameter);
uint32_t ChatWorker(void* parameter);

}  // namespace tovrin
