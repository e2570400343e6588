#include "secure/pairing_codes.h"

namespace tovrin {

using Clock = std::chrono::steady_clock;

SecretText PairingCodes::Renew() {
  std::lock_guard<std::mutex> lock(lock_);
  code_ = NewPairingCode();
  issued_ = Clock::now();
  return code_;
}

void PairingCodes::Stop() {
  std::lock_guard<std::mutex> lock(lock_);
  code_.clear();
}

SecretText PairingCodes::Take() {
  std::lock_guard<std::mutex> lock(lock_);
  SecretText code;
  if (!code_.empty() && Clock::now() - issued_ < PAIRING_CODE_LIFETIME) code = code_;
  code_.clear();
  return code;
}

}  // namespace tovrin
