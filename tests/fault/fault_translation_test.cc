// Processor faults on a thread with the translator become CKTBException,
// thrown from the faulting instruction, with every frame's guards run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cfenv>
#include <climits>
#include <cstring>
#include <fstream>
#include <functional>
#include <latch>
#include <string>
#include <thread>

#include "fault/kt_exception.h"
#include "platform/critical_section.h"
#include "tests/support/faults.h"
#include "tests/support/temp_dir.h"

namespace {

using qrv::platform::kAccessViolation;
using qrv::platform::kIllegalInstruction;
using qrv::platform::kInPageError;
using qrv::platform::kIntDivideByZero;
using qrv::platform::kStackOverflow;

struct Caught {
  bool caught = false;
  int32_t code = 0;
  std::string message;
  qrv::platform::ExceptionRecord32 record{};
};

Caught Catch(const std::function<void()>& body) {
  Caught result;
  try {
    body();
  } catch (CKTBException& error) {
    result.caught = true;
    result.code = error.GetErrorCode();
    char text[64];
    error.GetErrorMessage(text, sizeof(text));
    result.message = text;
    result.record = error.exceptionRecord;
  }
  return result;
}

// Counts destructor runs, so a test sees which frames were unwound.
struct Guard {
  explicit Guard(int& counter) : counter_(counter) {}
  ~Guard() { ++counter_; }
  int& counter_;
};

class FaultTranslationTest : public ::testing::Test {
 protected:
  void SetUp() override { qrv::fault::InstallFaultTranslator(); }
};

TEST_F(FaultTranslationTest, EachFaultKindGivesItsCodeAndMessageRepeatedly) {
  struct Kind {
    const char* name;
    std::function<void()> raise;
    uint32_t code;
    const char* message;
  };
  const Kind kinds[] = {
      {"null write", [] { qrv::test::RaiseAccessViolation(); }, kAccessViolation,
       "EXCEPTION_ACCESS_VIOLATION"},
      {"divide by zero", [] { qrv::test::RaiseIntegerDivideByZero(); }, kIntDivideByZero,
       "EXCEPTION_INT_DIVIDE_BY_ZERO"},
      // x86 reports INT_MIN / -1 as a divide error, like a zero divisor.
      {"INT_MIN / -1", [] { qrv::test::RaiseIntegerDivideOverflow(); }, kIntDivideByZero,
       "EXCEPTION_INT_DIVIDE_BY_ZERO"},
      {"ud2", [] { qrv::test::RaiseIllegalInstruction(); }, kIllegalInstruction,
       "EXCEPTION_ILLEGAL_INSTRUCTION"},
      {"null call", [] { qrv::test::CallNullFunction(); }, kAccessViolation,
       "EXCEPTION_ACCESS_VIOLATION"},
  };
  for (int round = 0; round < 4; ++round) {
    for (const Kind& kind : kinds) {
      SCOPED_TRACE(std::string(kind.name) + " round " + std::to_string(round));
      int guards = 0;
      Caught caught = Catch([&] {
        Guard outer(guards);
        Guard inner(guards);
        kind.raise();
      });
      ASSERT_TRUE(caught.caught);
      EXPECT_EQ(static_cast<uint32_t>(caught.code), kind.code);
      EXPECT_EQ(caught.record.code, kind.code);
      EXPECT_EQ(caught.message, kind.message);
      EXPECT_EQ(guards, 2);
    }
  }
}

// The faulting instruction sits in the same frame as the guard: only
// exceptions from non-call instructions can run this guard.
__attribute__((noinline, no_sanitize("undefined"))) int DivideWithGuardInFrame(int& guards,
                                                                               int divisor) {
  Guard guard(guards);
  volatile int dividend = 100;
  qrv::test::g_faultSink = dividend / divisor;
  return qrv::test::g_faultSink;
}

TEST_F(FaultTranslationTest, GuardInTheFaultingFrameRuns) {
  int guards = 0;
  Caught caught = Catch([&] { DivideWithGuardInFrame(guards, 0); });
  ASSERT_TRUE(caught.caught);
  EXPECT_EQ(static_cast<uint32_t>(caught.code), kIntDivideByZero);
  EXPECT_EQ(guards, 1);
}

TEST_F(FaultTranslationTest, AccessViolationRecordsAddressAndDirection) {
  Caught write = Catch([] { qrv::test::RaiseAccessViolation(); });
  ASSERT_TRUE(write.caught);
  EXPECT_EQ(write.record.numberParameters, 2u);
  EXPECT_EQ(write.record.information[0], 1u);  // write
  EXPECT_EQ(write.record.information[1], 0u);
  EXPECT_NE(write.record.address, 0u);

  Caught read = Catch([] { qrv::test::ReadFrom(24); });
  ASSERT_TRUE(read.caught);
  EXPECT_EQ(read.record.information[0], 0u);  // read
  EXPECT_EQ(read.record.information[1], 24u);
}

TEST_F(FaultTranslationTest, LockHeldAtTheFaultIsReleased) {
  qrv::platform::CriticalSection section;
  Caught caught = Catch([&] {
    qrv::platform::ScopedLock lock(&section);
    qrv::test::RaiseAccessViolation();
  });
  ASSERT_TRUE(caught.caught);
  bool otherThreadGotIt = false;
  std::thread other([&] {
    otherThreadGotIt = section.TryEnter();
    if (otherThreadGotIt) section.Leave();
  });
  other.join();
  EXPECT_TRUE(otherThreadGotIt);
}

__attribute__((noinline)) void DivideFloatByZero() {
  volatile double dividend = 1.0;
  volatile double divisor = 0.0;
  volatile double quotient = dividend / divisor;
  (void)quotient;
}

// Puts the thread's floating-point modes back however the test ends.
class FloatingPointModes {
 public:
  FloatingPointModes() : traps_(fegetexcept()), rounding_(fegetround()) {}
  ~FloatingPointModes() {
    fedisableexcept(FE_ALL_EXCEPT);
    feclearexcept(FE_ALL_EXCEPT);
    feenableexcept(traps_);
    fesetround(rounding_);
  }

 private:
  int traps_;
  int rounding_;
};

TEST_F(FaultTranslationTest, FloatingPointTrapIsTranslatedAndControlModesSurvive) {
  FloatingPointModes restore;
  feclearexcept(FE_ALL_EXCEPT);
  feenableexcept(FE_DIVBYZERO);
  fesetround(FE_UPWARD);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    Caught caught = Catch([] { DivideFloatByZero(); });
    ASSERT_TRUE(caught.caught);
    EXPECT_EQ(static_cast<uint32_t>(caught.code), qrv::platform::kFltDivideByZero);
    EXPECT_EQ(caught.message, "EXCEPTION_FLT_DIVIDE_BY_ZERO");
    // The modes the thread chose are still in force after the fault.
    EXPECT_EQ(fegetexcept() & FE_DIVBYZERO, FE_DIVBYZERO);
    EXPECT_EQ(fegetround(), FE_UPWARD);
  }
  Caught other = Catch([] { qrv::test::RaiseAccessViolation(); });
  ASSERT_TRUE(other.caught);
  EXPECT_EQ(fegetround(), FE_UPWARD);
}

TEST_F(FaultTranslationTest, ReadingAMappedFilePastItsEndIsAnInPageError) {
  qrv::test::TempDir dir;
  const std::string path = dir.File("short.bin");
  { std::ofstream(path, std::ios::binary) << "ten bytes!"; }
  const long page = sysconf(_SC_PAGESIZE);
  int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  void* mapping = mmap(nullptr, 2 * page, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  ASSERT_NE(mapping, MAP_FAILED);
  const auto base = reinterpret_cast<uintptr_t>(mapping);
  EXPECT_EQ(qrv::test::ReadFrom(base) & 0xFF, 't');
  for (int round = 0; round < 3; ++round) {
    Caught caught = Catch([&] { qrv::test::ReadFrom(base + page); });
    ASSERT_TRUE(caught.caught);
    EXPECT_EQ(static_cast<uint32_t>(caught.code), kInPageError);
    EXPECT_EQ(caught.message, "EXCEPTION_IN_PAGE_ERROR");
  }
  munmap(mapping, 2 * page);
}

// Touches the next stretch of stack from a frame without cleanups. A fault
// can only be thrown from an instruction that its frame's exception table
// covers; a prologue push is not covered, so a frame with guards must not be
// the one that meets the guard page. Probing well ahead keeps the overflow
// here and leaves the guarded frames room to run their cleanups, which run on
// the exhausted stack.
// AddressSanitizer would give this frame a cleanup of its own (unpoisoning
// its stack), so it stays uninstrumented.
__attribute__((noinline, no_sanitize("address"))) void ProbeStack() {
  volatile char area[16384];
  for (size_t i = sizeof(area); i > 0; i -= 64) area[i - 1] = 0;
}

// Recurses until the stack runs out; the depth limit is far beyond what the
// small thread stack below holds, so it only keeps the loop bounded.
__attribute__((noinline)) int Recurse(int depth, int& guards) {
  Guard guard(guards);
  ProbeStack();
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  if (depth >= 1000000) return frame[0];
  int (*volatile next)(int, int&) = Recurse;
  return next(depth + 1, guards) + frame[0];
}

struct OverflowRun {
  Caught caught;
  int guards = 0;
  int rounds = 0;
};

void* OverflowThread(void* arg) {
  auto* run = static_cast<OverflowRun*>(arg);
  qrv::fault::InstallFaultTranslator();
  for (int round = 0; round < 3; ++round) {
    run->guards = 0;
    run->caught = Catch([&] { Recurse(0, run->guards); });
    if (!run->caught.caught || run->guards == 0) break;
    ++run->rounds;
  }
  return nullptr;
}

TEST(FaultTranslationThreads, StackOverflowIsTranslatedOnTheAlternateStack) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 512 * 1024);
  OverflowRun run;
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, OverflowThread, &run), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(run.rounds, 3);
  ASSERT_TRUE(run.caught.caught);
  EXPECT_EQ(static_cast<uint32_t>(run.caught.code), kStackOverflow);
  EXPECT_EQ(run.caught.message, "EXCEPTION_STACK_OVERFLOW");
  EXPECT_GT(run.guards, 100);  // every frame's guard ran
}

TEST(FaultTranslationThreads, FaultsOnTwoThreadsAtOnce) {
  constexpr int kRounds = 50;
  std::latch start(2);
  std::atomic<int> caught[2] = {0, 0};
  auto worker = [&](int index) {
    qrv::fault::InstallFaultTranslator();
    start.arrive_and_wait();
    for (int round = 0; round < kRounds; ++round) {
      Caught result = Catch([&] {
        if ((round + index) % 2 == 0) {
          qrv::test::RaiseAccessViolation();
        } else {
          qrv::test::RaiseIntegerDivideByZero();
        }
      });
      const uint32_t expected = (round + index) % 2 == 0 ? kAccessViolation : kIntDivideByZero;
      if (result.caught && static_cast<uint32_t>(result.code) == expected) ++caught[index];
    }
  };
  std::thread first(worker, 0);
  std::thread second(worker, 1);
  first.join();
  second.join();
  EXPECT_EQ(caught[0].load(), kRounds);
  EXPECT_EQ(caught[1].load(), kRounds);
}

TEST(FaultTranslationThreads, TranslatorIsPerThread) {
  qrv::fault::InstallFaultTranslator();
  qrv::platform::StructuredExceptionTranslator seenOnOther = nullptr;
  std::thread other(
      [&] { seenOnOther = qrv::platform::SetStructuredExceptionTranslator(nullptr); });
  other.join();
  EXPECT_EQ(seenOnOther, nullptr);
  EXPECT_EQ(
      qrv::platform::SetStructuredExceptionTranslator(qrv::fault::TranslateStructuredException),
      &qrv::fault::TranslateStructuredException);
}

using FaultTranslationDeathTest = FaultTranslationTest;

TEST_F(FaultTranslationDeathTest, ThreadWithoutTranslatorStillDies) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // This thread translates; the faulting thread does not, so the process ends
  // as it would without the translator.
  EXPECT_DEATH(
      {
        qrv::fault::InstallFaultTranslator();
        std::thread bare([] { qrv::test::RaiseAccessViolation(); });
        bare.join();
      },
      "");
}

TEST_F(FaultTranslationDeathTest, SentSignalIsNotTranslated) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        qrv::fault::InstallFaultTranslator();
        try {
          raise(SIGSEGV);
        } catch (CKTBException&) {
          std::fprintf(stderr, "translated\n");
        }
      },
      "");
}

TEST_F(FaultTranslationDeathTest, TurnedOffTranslatorLetsTheFaultKill) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        qrv::fault::InstallFaultTranslator();
        qrv::platform::SetStructuredExceptionTranslator(nullptr);
        qrv::test::RaiseIntegerDivideByZero();
      },
      "");
}

}  // namespace
