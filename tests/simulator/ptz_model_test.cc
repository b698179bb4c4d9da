// The PTZ mechanics of a simulated camera, driven with explicit time.
#include <gtest/gtest.h>

#include "simulator/device/ptz_model.h"

namespace qrv::sim {
namespace {

using Clock = PtzModel::Clock;
using namespace std::chrono_literals;

TEST(PtzModel, MovesContinueUntilStoppedAndStayInRange) {
  const auto t0 = Clock::time_point{} + 1h;
  PtzModel ptz(t0);
  ASSERT_EQ(ptz.Apply(24, 0, 80, t0), 0);  // right at full speed
  const double nudged = ptz.Position(t0).pan;
  EXPECT_GT(nudged, 0.0) << "a start moves at once";
  const double oneSecond = ptz.Position(t0 + 1s).pan;
  EXPECT_NEAR(oneSecond - nudged, 0.5, 1e-9);
  ASSERT_EQ(ptz.Apply(24, 1, 80, t0 + 1s), 0);  // stop
  EXPECT_DOUBLE_EQ(ptz.Position(t0 + 10s).pan, oneSecond);
  // Long moves end at the edge of the scene.
  ptz.Apply(27, 0, 40, t0 + 10s);  // down-left
  const auto far = ptz.Position(t0 + 100s);
  EXPECT_EQ(far.pan, -1.0);
  EXPECT_EQ(far.tilt, 1.0);
  // Speeds outside 1..80 (the plug-in may send 0 or negatives) move at the
  // slowest or fastest rate, never backwards.
  PtzModel slow(t0);
  slow.Apply(23, 0, -10, t0);  // left
  EXPECT_LT(slow.Position(t0 + 1s).pan, slow.Position(t0).pan);
  slow.Apply(23, 1, 0, t0 + 1s);
  slow.Apply(11, 0, 1000, t0 + 1s);  // zoom in, clamped to full speed
  EXPECT_EQ(slow.Position(t0 + 100s).zoom, 8.0);
  slow.Apply(12, 0, 5, t0 + 100s);
  EXPECT_EQ(slow.Position(t0 + 1000s).zoom, 1.0);
}

TEST(PtzModel, PresetsScanAndUnknownCodes) {
  const auto t0 = Clock::time_point{} + 1h;
  PtzModel ptz(t0);
  ptz.Apply(22, 0, 40, t0);  // down
  ptz.Apply(22, 1, 40, t0 + 1s);
  const auto stored = ptz.Position(t0 + 1s);
  EXPECT_EQ(ptz.Apply(100, 7, 7, t0 + 1s), 0);
  ptz.Apply(21, 0, 80, t0 + 1s);  // up, keeps moving
  EXPECT_EQ(ptz.Apply(102, 7, 7, t0 + 2s), 0);
  EXPECT_DOUBLE_EQ(ptz.Position(t0 + 5s).tilt, stored.tilt) << "go-to stops the move";
  EXPECT_EQ(ptz.Apply(101, 7, 7, t0 + 5s), 0);
  EXPECT_EQ(ptz.Apply(102, 7, 7, t0 + 5s), PtzModel::kRefused) << "cleared preset";
  for (int bad : {0, 256, -1})
    EXPECT_EQ(ptz.Apply(100, bad, bad, t0 + 5s), PtzModel::kRefused) << bad;

  // The scan sweeps back and forth inside the scene.
  EXPECT_EQ(ptz.Apply(123, 79, 0, t0 + 5s), 0);
  EXPECT_TRUE(ptz.Scanning());
  double low = 1, high = -1;
  for (int ms = 0; ms < 20000; ms += 100) {
    const double pan = ptz.Position(t0 + 5s + std::chrono::milliseconds(ms)).pan;
    ASSERT_GE(pan, -1.0);
    ASSERT_LE(pan, 1.0);
    low = std::min(low, pan);
    high = std::max(high, pan);
  }
  EXPECT_LT(low, -0.9);
  EXPECT_GT(high, 0.9);
  EXPECT_EQ(ptz.Apply(122, 0, 0, t0 + 30s), 0);
  EXPECT_FALSE(ptz.Scanning());
  const double parked = ptz.Position(t0 + 30s).pan;
  EXPECT_DOUBLE_EQ(ptz.Position(t0 + 40s).pan, parked);

  // Unknown codes are refused and change nothing; lens functions are accepted.
  for (int code : {0, 1, 2, 4, 10, 17, 20, 29, 99, 103, 121, 124, -5})
    EXPECT_EQ(ptz.Apply(code, 0, 40, t0 + 40s), PtzModel::kRefused) << code;
  for (int code : {3, 13, 14, 15, 16}) EXPECT_EQ(ptz.Apply(code, 0, 40, t0 + 40s), 0) << code;
  EXPECT_DOUBLE_EQ(ptz.Position(t0 + 50s).pan, parked);
}

}  // namespace
}  // namespace qrv::sim
