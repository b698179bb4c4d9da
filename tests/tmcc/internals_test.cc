// The library's reconnection backoff and callback gate on their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "support/wait.h"
#include "tmcc/common/backoff.h"
#include "tmcc/common/callback_gate.h"
#include "tmcc/common/probe_round.h"
#include "tmcc/common/runtime.h"

using namespace std::chrono_literals;
using qrv::test::WaitUntil;
using qrv::tmcc::Backoff;
using qrv::tmcc::CallbackGate;
using qrv::tmcc::ProbeRound;

TEST(Backoff, DoublesToTheCeilingWithinTheJitterAndStartsOverAfterReset) {
  std::set<int64_t> firstDelays;
  for (uint64_t seed = 1; seed <= 20; ++seed) {
    Backoff b({}, seed);
    int64_t nominal = 200;
    for (int i = 0; i < 10; ++i) {
      int64_t d = b.Next().count();
      EXPECT_GE(d, nominal * 3 / 4) << i;
      EXPECT_LE(d, nominal * 5 / 4) << i;
      if (i == 0) firstDelays.insert(d);
      nominal = std::min<int64_t>(nominal * 2, 5000);
    }
    EXPECT_EQ(b.nominal().count(), 5000);
    b.Reset();
    EXPECT_LE(b.Next().count(), 250);
  }
  // Clients that lost the same device do not come back in step.
  EXPECT_GT(firstDelays.size(), 10u);
}

TEST(CallbackGate, CloseWaitsForRunningCallbacksExceptTheCallersOwn) {
  CallbackGate gate;
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  std::atomic<bool> inside{false};
  std::thread callbackThread([&] {
    gate.Invoke([&] {
      inside = true;
      std::unique_lock lock(m);
      cv.wait(lock, [&] { return release; });
    });
  });
  ASSERT_TRUE(WaitUntil([&] { return inside.load(); }, 5s));
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    gate.Close();
    closed = true;
  });
  // Still blocked while the callback runs...
  EXPECT_FALSE(WaitUntil([&] { return closed.load(); }, 100ms));
  {
    std::lock_guard lock(m);
    release = true;
  }
  cv.notify_all();
  // ...and returns once it has.
  EXPECT_TRUE(WaitUntil([&] { return closed.load(); }, 5s));
  callbackThread.join();
  closer.join();
  EXPECT_FALSE(gate.Invoke([] { ADD_FAILURE() << "ran after close"; }));

  // Closing from inside a callback returns at once.
  CallbackGate own;
  bool ran = own.Invoke([&] { own.Close(); });
  EXPECT_TRUE(ran);
  EXPECT_TRUE(own.closed());
}

// More host callbacks blocking at once than the pool has threads: other work
// still runs on threads the pool adds, and those leave once the callbacks
// return. With no callback running the watcher parks; the callbacks that
// start then must wake it (twice over: parked anew after the first spell).
TEST(IoPool, CallbacksThatBlockGetTheirThreadsReplacedAndTheExtraThreadsLeaveAfterwards) {
  constexpr int kBlocked = qrv::tmcc::kIoThreads + 2;
  for (int spell = 0; spell < 2; ++spell) {
    SCOPED_TRACE(spell);
    // Nothing runs in a callback: the watcher parks (an idle pool costs nothing).
    ASSERT_TRUE(WaitUntil([] { return qrv::tmcc::IoPoolFigures().parked; }, 10s));
    const auto before = qrv::tmcc::IoPoolFigures();
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    std::atomic<int> inside{0};
    std::vector<CallbackGate> gates(kBlocked);
    for (auto& gate : gates) {
      asio::post(qrv::tmcc::IoContext(), [&] {
        gate.Invoke([&] {
          ++inside;
          std::unique_lock lock(m);
          cv.wait_for(lock, 30s, [&] { return release; });
        });
      });
    }
    ASSERT_TRUE(WaitUntil([&] { return inside.load() == kBlocked; }, 10s));
    std::atomic<bool> ran{false};
    asio::post(qrv::tmcc::IoContext(), [&] { ran = true; });
    EXPECT_TRUE(WaitUntil([&] { return ran.load(); }, 10s));
    const auto during = qrv::tmcc::IoPoolFigures();
    EXPECT_GE(during.threads, kBlocked + qrv::tmcc::kIoThreads);
    EXPECT_GE(during.added, before.added + kBlocked);
    EXPECT_FALSE(during.parked) << "callbacks are running";
    {
      std::lock_guard lock(m);
      release = true;
    }
    cv.notify_all();
    EXPECT_TRUE(
        WaitUntil([&] { return qrv::tmcc::IoPoolFigures().threads == before.threads; }, 10s));
    const auto after = qrv::tmcc::IoPoolFigures();
    EXPECT_EQ(after.retired - before.retired, after.added - before.added);
    EXPECT_TRUE(WaitUntil([&] { return qrv::tmcc::IoPoolFigures().parks > before.parks; }, 10s));
  }
}

TEST(ProbeRound, OnlyAnswersToTheProbeOutAndWithinItsTimeCount) {
  using Verdict = ProbeRound::Verdict;
  const auto t0 = ProbeRound::Clock::time_point{} + std::chrono::hours(1);
  ProbeRound round;
  EXPECT_EQ(round.Judge(0, 0, "SN", "127.0.0.2", t0), Verdict::kLate) << "before any round";
  round.Start(0xA5A5'0001u, t0);
  const uint32_t id = round.probeId();
  EXPECT_EQ(round.Judge(id + 1, id + 1, "SN", "127.0.0.2", t0), Verdict::kUnsentProbe);
  EXPECT_EQ(round.Judge(id, id + 1, "SN", "127.0.0.2", t0), Verdict::kUnsentProbe);
  EXPECT_EQ(round.Judge(id + 1, id, "SN", "127.0.0.2", t0), Verdict::kUnsentProbe);
  EXPECT_EQ(round.Judge(0, 0, "SN", "127.0.0.2", t0), Verdict::kUnsentProbe);
  EXPECT_EQ(round.FoundCount(), 0u);
  EXPECT_EQ(round.Judge(id, id, "SN", "127.0.0.2", t0), Verdict::kReport);
  EXPECT_EQ(round.Judge(id, id, "SN", "127.0.0.2", t0 + 10ms), Verdict::kRepeat);
  // Identity and address together name a device.
  EXPECT_EQ(round.Judge(id, id, "SN", "127.0.0.3", t0), Verdict::kReport);
  EXPECT_EQ(round.Judge(id, id, "SN2", "127.0.0.2", t0 + ProbeRound::kAnswerTime),
            Verdict::kReport);
  EXPECT_EQ(round.Judge(id, id, "SN3", "127.0.0.2", t0 + ProbeRound::kAnswerTime + 1ms),
            Verdict::kLate);

  // A new round: the old id no longer counts, every device is new again.
  const auto t1 = t0 + 10s;
  round.Start(0x0BAD'F00Du, t1);
  EXPECT_EQ(round.Judge(id, id, "SN", "127.0.0.2", t1), Verdict::kUnsentProbe);
  EXPECT_EQ(round.FoundCount(), 0u);
  EXPECT_EQ(round.Judge(round.probeId(), round.probeId(), "SN", "127.0.0.2", t1), Verdict::kReport);
}

TEST(ProbeRound, AFloodOfDevicesHoldsAtMostTheCapKeepingTheRecentlySeen) {
  using Verdict = ProbeRound::Verdict;
  const auto t0 = ProbeRound::Clock::now();
  ProbeRound round;
  round.Start(7, t0);
  constexpr int kFlood = 100000;
  int reported = 0;
  size_t most = 0;
  for (int n = 0; n < kFlood; ++n) {
    if (n == kFlood / 2) {
      // A real device answering amid the flood is kept while it keeps answering.
      EXPECT_EQ(round.Judge(7, 7, "REAL", "127.0.0.2", t0), Verdict::kReport);
    }
    if (n > kFlood / 2 && n % 1000 == 0) {
      EXPECT_EQ(round.Judge(7, 7, "REAL", "127.0.0.2", t0), Verdict::kRepeat) << n;
    }
    if (round.Judge(7, 7, "SPOOF-" + std::to_string(n), "127.9.9.9", t0) == Verdict::kReport) {
      ++reported;
    }
    most = std::max(most, round.FoundCount());
  }
  EXPECT_EQ(reported, kFlood);
  EXPECT_EQ(most, ProbeRound::kMaxFound);
  EXPECT_EQ(round.Judge(7, 7, "SPOOF-" + std::to_string(kFlood - 1), "127.9.9.9", t0),
            Verdict::kRepeat);
  EXPECT_EQ(round.Judge(7, 7, "SPOOF-0", "127.9.9.9", t0), Verdict::kReport) << "dropped long ago";
}
