#include "workers/workers.h"
namespace tovrin {
uint32_t ChatWorker(void*) { return 0; }
}  // namespace tovrin
