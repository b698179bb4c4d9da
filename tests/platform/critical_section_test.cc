#include "platform/critical_section.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using qrv::platform::CriticalSection;
using qrv::platform::ScopedLock;

bool OtherThreadCanEnter(CriticalSection& section) {
  bool entered = false;
  std::thread other([&] {
    entered = section.TryEnter();
    if (entered) section.Leave();
  });
  other.join();
  return entered;
}

TEST(CriticalSection, OwnerReentersAndMustLeaveAsOftenAsItEntered) {
  CriticalSection section;
  section.Enter();
  EXPECT_TRUE(section.TryEnter());
  section.Enter();
  section.Leave();
  EXPECT_FALSE(OtherThreadCanEnter(section));
  section.Leave();
  EXPECT_FALSE(OtherThreadCanEnter(section));
  section.Leave();
  EXPECT_TRUE(OtherThreadCanEnter(section));
}

TEST(CriticalSection, ScopedLockLeavesOnExceptionAndAcceptsNull) {
  CriticalSection section;
  try {
    ScopedLock outer(&section);
    ScopedLock inner(&section);
    throw 1;
  } catch (int) {
  }
  EXPECT_TRUE(OtherThreadCanEnter(section));
  { ScopedLock none(nullptr); }
}

TEST(CriticalSection, ExcludesOtherThreads) {
  CriticalSection section;
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      ScopedLock lock(&section);
      ScopedLock again(&section);
      ++counter;
    }
  };
  std::thread first(work);
  std::thread second(work);
  first.join();
  second.join();
  EXPECT_EQ(counter, 40000);
}

}  // namespace
