#include "workers/workers.h"
namespace tovrin {
uint32_t ReceiveWorker(void*) { return 0; }
}  // namespace tovrin
