#pragma once

#include <cstddef>

namespace tovrin {

// One XXH3-128 update on an XXH3_state_t. The state's layout is the same for every unit, so
// a hash may be reset, fed and read by different units.
using HashUpdate = void (*)(void* state, const void* data, std::size_t size);

#ifdef TOVRIN_HASH_X86_UNITS
// Each compiled on its own for its instruction set: call only on a CPU that has it.
void UpdateAvx2(void* state, const void* data, std::size_t size);
void UpdateAvx512(void* state, const void* data, std::size_t size);
#endif

}  // namespace tovrin
