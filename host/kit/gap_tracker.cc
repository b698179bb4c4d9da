#include "host/kit/gap_tracker.h"

#include <algorithm>
#include <cmath>

namespace qrv::host {

void GapTracker::Frame(Clock::time_point at) {
  ++frames_;
  if (frames_ == 1) {
    last_ = at;
    return;
  }
  double interval = std::chrono::duration<double>(at - last_).count();
  last_ = at;
  if (interval < 0) return;
  bool known = frames_ > kWarmUpFrames && usual_ > 0;
  // Right after a restart the pause is the reconnect itself: any clear delay
  // counts, however short.
  bool afterRestart = restartPending_;
  restartPending_ = false;
  double threshold =
      afterRestart ? kRestartGapFactor * usual_ : std::max(kGapFactor * usual_, kMinGapSeconds);
  if (known && interval >= threshold) {
    ++report_.gaps;
    report_.framesMissing += static_cast<uint64_t>(std::llround(interval / usual_)) - 1;
    report_.longestGapSeconds = std::max(report_.longestGapSeconds, interval);
    return;  // a pause says nothing about the usual interval
  }
  // A late frame (jitter) and, during warm-up, a long pause would spoil the
  // estimate: leave them out.
  if (known && interval > 2 * usual_) return;
  if (!known && usual_ > 0 && interval > kMinGapSeconds) return;
  // Moving average that follows a change of frame rate within a few seconds.
  usual_ = usual_ == 0 ? interval : 0.9 * usual_ + 0.1 * interval;
}

}  // namespace qrv::host
