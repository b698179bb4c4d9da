#include "tmcc/common/backoff.h"

#include <algorithm>

namespace qrv::tmcc {

Backoff::Backoff(BackoffPolicy policy, uint64_t seed)
    : policy_(policy), nominal_(policy.first), random_(seed) {}

std::chrono::milliseconds Backoff::Next() {
  const double base = static_cast<double>(nominal_.count());
  std::uniform_real_distribution<double> spread(1.0 - policy_.jitter, 1.0 + policy_.jitter);
  auto delay = std::chrono::milliseconds(static_cast<int64_t>(base * spread(random_)));
  nominal_ = std::min(nominal_ * 2, policy_.ceiling);
  return std::max(delay, std::chrono::milliseconds(1));
}

}  // namespace qrv::tmcc
