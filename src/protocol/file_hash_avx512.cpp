// Compiled with -mavx512f: nothing but the hash's own static functions may be defined
// here, so no code for this instruction set can be shared with the rest of the program.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include "protocol/file_hash_units.h"

namespace tovrin {

void UpdateAvx512(void* state, const void* data, std::size_t size) {
  XXH3_128bits_update(static_cast<XXH3_state_t*>(state), data, size);
}

}  // namespace tovrin
