#include "workers/workers.h"
namespace tovrin {
uint32_t SendWorker(void*) { return 0; }
}  // namespace tovrin
