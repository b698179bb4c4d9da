// The library's reconnection backoff and callback gate on their own.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "support/wait.h"
#include "tmcc/backoff.h"
#include "tmcc/callback_gate.h"

using namespace std::chrono_literals;
using qrv::test::WaitUntil;
using qrv::tmcc::Backoff;
using qrv::tmcc::CallbackGate;

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
