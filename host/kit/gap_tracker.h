// Gaps in a live stream as the host sees them: restarts of the stream (a
// header delivered again, as after every reconnect) and pauses in the arrival
// of frames far longer than the stream's usual frame interval, with an
// estimate of the frames that should have arrived in them. The plug-in hands
// the host no frame counter or device time stamp, so arrival times are the
// evidence.
//
// Threads: none of its own; the owner serialises the calls (the stream tap
// calls it under its mutex).
#pragma once

#include <chrono>
#include <cstdint>

namespace qrv::host {

struct GapReport {
  uint64_t restarts = 0;       // the stream started again (header re-sent)
  uint64_t gaps = 0;           // pauses counted as gaps
  uint64_t framesMissing = 0;  // frames that would have arrived in those pauses
  double longestGapSeconds = 0;
};

class GapTracker {
 public:
  using Clock = std::chrono::steady_clock;

  // Frames seen before pauses are judged: the usual interval must be known.
  static constexpr uint64_t kWarmUpFrames = 8;
  // A pause counts as a gap when it is this many usual intervals long...
  static constexpr double kGapFactor = 4;
  // ...and at least this long, so scheduling jitter on a busy host is no gap.
  static constexpr double kMinGapSeconds = 0.3;
  // The first frame after a restart is judged by this factor alone.
  static constexpr double kRestartGapFactor = 1.5;

  void Frame(Clock::time_point at);
  void Restart() {
    ++report_.restarts;
    restartPending_ = true;
  }
  const GapReport& Report() const { return report_; }
  // The usual interval between frames in seconds (0 while unknown).
  double UsualInterval() const { return usual_; }

 private:
  GapReport report_;
  uint64_t frames_ = 0;
  Clock::time_point last_{};
  double usual_ = 0;
  bool restartPending_ = false;
};

}  // namespace qrv::host
