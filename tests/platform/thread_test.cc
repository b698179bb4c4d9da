#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/event.h"
#include "tests/support/wait.h"

namespace {

using namespace qrv::platform;

struct Blocked {
  ManualResetEvent release;
  std::atomic<bool> sawItself{false};
  ThreadHandle self;
  std::atomic<bool> finished{false};
};

uint32_t WaitForRelease(void* arg) {
  auto* state = static_cast<Blocked*>(arg);
  state->release.WaitFor(10000);
  state->finished = true;
  return 0;
}

TEST(Thread, WaitTimesOutWhileTheThreadRunsAndSucceedsAfterItEnds) {
  Blocked state;
  ThreadHandle thread = StartThread(WaitForRelease, &state);
  ASSERT_TRUE(thread);
  EXPECT_FALSE(WaitThread(thread, 20));
  EXPECT_FALSE(IsCurrentThread(thread));
  state.release.Set();
  EXPECT_TRUE(WaitThread(thread, 10000));
  EXPECT_TRUE(state.finished);
  CloseThread(thread);
  EXPECT_FALSE(thread);
  EXPECT_TRUE(WaitThread(thread, 0));  // a null handle has nothing to wait for
}

TEST(Thread, ClosedRunningThreadFinishesOnItsOwn) {
  auto state = std::make_unique<Blocked>();
  ThreadHandle thread = StartThread(WaitForRelease, state.get());
  ASSERT_TRUE(thread);
  CloseThread(thread);
  state->release.Set();
  EXPECT_TRUE(qrv::test::WaitUntil([&] { return state->finished.load(); },
                                   std::chrono::milliseconds(10000)));
}

TEST(Event, ManualResetStaysSetUntilReset) {
  ManualResetEvent event;
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.WaitFor(5));
  event.Set();
  EXPECT_TRUE(event.IsSet());
  EXPECT_TRUE(event.WaitFor(0));
  EXPECT_TRUE(event.WaitFor(0));
  event.Reset();
  EXPECT_FALSE(event.WaitFor(5));
}

uint32_t SetLater(void* arg) {
  static_cast<ManualResetEvent*>(arg)->Set();
  return 0;
}

TEST(Event, WaitEndsWhenAnotherThreadSets) {
  ManualResetEvent event;
  ThreadHandle thread = StartThread(SetLater, &event);
  EXPECT_TRUE(event.WaitFor(10000));
  EXPECT_TRUE(WaitThread(thread, 10000));
  CloseThread(thread);
}

}  // namespace
