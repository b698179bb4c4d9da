// Delays between reconnection attempts: exponential from a first delay up to a
// ceiling, each spread by a random jitter so many clients that lost the same
// device do not come back in step.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>

namespace qrv::tmcc {

struct BackoffPolicy {
  std::chrono::milliseconds first{200};
  std::chrono::milliseconds ceiling{5000};
  double jitter = 0.25;  // each delay lies within +-jitter of its nominal value
};

// Threading: not shared; each client owns one and uses it on its strand.
class Backoff {
 public:
  explicit Backoff(BackoffPolicy policy = {}, uint64_t seed = std::random_device{}());

  // The delay before the next attempt; every call doubles the nominal delay
  // up to the ceiling.
  std::chrono::milliseconds Next();
  // After a successful connection: the next delay starts from the first again.
  void Reset() { nominal_ = policy_.first; }

  std::chrono::milliseconds nominal() const { return nominal_; }

 private:
  BackoffPolicy policy_;
  std::chrono::milliseconds nominal_;
  std::mt19937_64 random_;
};

}  // namespace qrv::tmcc
