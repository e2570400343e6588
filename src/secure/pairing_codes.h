#pragma once

#include <chrono>
#include <mutex>

#include "secure/pairing.h"

namespace tovrin {

// How long a pairing code shown by the waiting side stays valid.
inline constexpr auto PAIRING_CODE_LIFETIME = std::chrono::minutes(2);

// The waiting side's pairing code: one at a time, single use, valid PAIRING_CODE_LIFETIME.
// Thread-safe.
class PairingCodes final {
 public:
  // A new code, replacing any other.
  SecretText Renew();
  // No code any more (the waiting has ended).
  void Stop();
  // The code, spent: the one guess it allows is taken. Empty when there is none or it is out
  // of time.
  SecretText Take();

 private:
  std::mutex lock_;
  SecretText code_;
  std::chrono::steady_clock::time_point issued_;
};

}  // namespace tovrin
