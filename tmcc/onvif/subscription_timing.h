// When to renew an event subscription. The device's termination time is on
// its own clock, which may be far from ours: only the difference between the
// two times it wrote in one answer (its "now" and its termination) is used,
// counted on our steady clock from when the answer arrived. Pure; any thread.
#pragma once

#include <chrono>
#include <cstdint>

namespace qrv::tmcc {

// Renew this long after the answer that carried the times: 10 s before the
// end, or halfway for a short lifetime; at least 1 s, so a device that
// answers with a past termination is not renewed in a tight loop. Times of 0
// (not given) mean the lifetime we asked for. A lifetime longer than an hour
// is taken as an hour.
std::chrono::milliseconds RenewDelay(int64_t deviceNow, int64_t deviceTermination,
                                     std::chrono::milliseconds requestedLifetime);

// At most limit alarms in any one-second window (counted from the window's
// first alarm). Not shared: its owner's strand.
class AlarmRateLimit {
 public:
  using Clock = std::chrono::steady_clock;
  explicit AlarmRateLimit(uint32_t limit) : limit_(limit) {}
  bool Allow(Clock::time_point now) {
    if (count_ == 0 || now - windowStart_ >= std::chrono::seconds(1)) {
      windowStart_ = now;
      count_ = 0;
    }
    if (count_ >= limit_) return false;
    ++count_;
    return true;
  }

 private:
  uint32_t limit_;
  uint32_t count_ = 0;
  Clock::time_point windowStart_{};
};

}  // namespace qrv::tmcc
