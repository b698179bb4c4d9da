// What the fault handler hands to a thread's translator, and how it leaves
// faults it must not translate to whoever handled them before.
#include "platform/structured_exception.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "tests/support/faults.h"

namespace {

using namespace qrv::platform;

struct Seen {
  uint32_t code;
  ExceptionRecord32 record;
  ContextRecord32 context;
};

// A translator of the test's own: keeps copies of what it was given.
void Capture(uint32_t code, ExceptionPointers* pointers) {
  Seen seen{};
  seen.code = code;
  seen.record = *pointers->exceptionRecord;
  seen.context = *pointers->contextRecord;
  throw seen;
}

template <typename Body>
Seen FaultIn(Body body) {
  SetStructuredExceptionTranslator(Capture);
  try {
    body();
  } catch (const Seen& seen) {
    return seen;
  }
  ADD_FAILURE() << "no fault was translated";
  return Seen{};
}

__attribute__((noinline)) void Halt() {
  asm volatile("hlt");
}

TEST(StructuredException, RecordAndContextDescribeTheFault) {
  volatile int local = 0;
  const auto stackHere = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&local));
  Seen seen = FaultIn([] { qrv::test::ReadFrom(0x40); });
  EXPECT_EQ(seen.code, kAccessViolation);
  EXPECT_EQ(seen.record.code, kAccessViolation);
  EXPECT_EQ(seen.record.flags, 0u);
  EXPECT_EQ(seen.record.numberParameters, 2u);
  EXPECT_EQ(seen.record.information[0], 0u);
  EXPECT_EQ(seen.record.information[1], 0x40u);
  // The fault address is the faulting instruction, which the context agrees on.
  EXPECT_NE(seen.record.address, 0u);
  EXPECT_EQ(seen.record.address, seen.context.eip);
  EXPECT_EQ(seen.context.contextFlags & 0x00010007u, 0x00010007u);
  // The stack pointer at the fault lies a little below this frame.
  EXPECT_LT(stackHere - seen.context.esp, 64u * 1024u);
  EXPECT_NE(seen.context.segCs, 0u);
}

TEST(StructuredException, DivisionAndPrivilegedInstructionCodes) {
  Seen divide = FaultIn([] { qrv::test::RaiseIntegerDivideByZero(); });
  EXPECT_EQ(divide.code, kIntDivideByZero);
  EXPECT_EQ(divide.record.numberParameters, 0u);
  EXPECT_EQ(divide.record.address, divide.context.eip);

  // Ring-0 instructions arrive as a general-protection SIGSEGV; they are not
  // access violations.
  Seen halt = FaultIn([] { Halt(); });
  EXPECT_EQ(halt.code, kPrivInstruction);

  Seen illegal = FaultIn([] { qrv::test::RaiseIllegalInstruction(); });
  EXPECT_EQ(illegal.code, kIllegalInstruction);
}

TEST(StructuredException, NullCallReportsAnExecuteViolationAtZero) {
  Seen seen = FaultIn([] { qrv::test::CallNullFunction(); });
  EXPECT_EQ(seen.code, kAccessViolation);
  EXPECT_EQ(seen.record.address, 0u);
  EXPECT_EQ(seen.record.information[0], 8u);  // execute
  EXPECT_EQ(seen.record.information[1], 0u);
}

TEST(StructuredException, InstallReturnsThePreviousTranslatorOfThisThreadOnly) {
  SetStructuredExceptionTranslator(nullptr);
  EXPECT_EQ(SetStructuredExceptionTranslator(Capture), nullptr);
  EXPECT_EQ(SetStructuredExceptionTranslator(Capture), &Capture);
  StructuredExceptionTranslator onOther = &Capture;
  std::thread other([&] { onOther = SetStructuredExceptionTranslator(nullptr); });
  other.join();
  EXPECT_EQ(onOther, nullptr);
  EXPECT_EQ(SetStructuredExceptionTranslator(nullptr), &Capture);
}

TEST(StructuredException, ThreadExitReleasesTheAlternateStack) {
  void* altStack = nullptr;
  std::thread worker([&] {
    SetStructuredExceptionTranslator(Capture);
    // Still translating after a fault, on the same alternate stack.
    FaultIn([] { qrv::test::RaiseAccessViolation(); });
    stack_t current{};
    sigaltstack(nullptr, &current);
    if ((current.ss_flags & SS_DISABLE) == 0) altStack = current.ss_sp;
  });
  worker.join();
  ASSERT_NE(altStack, nullptr);
  // msync fails with ENOMEM on memory that is no longer mapped.
  errno = 0;
  EXPECT_EQ(msync(altStack, static_cast<size_t>(sysconf(_SC_PAGESIZE)), MS_ASYNC), -1);
  EXPECT_EQ(errno, ENOMEM);
}

void ExitFromEarlierHandler(int) {
  _exit(42);
}

TEST(StructuredExceptionDeathTest, FaultsOfOtherThreadsReachTheEarlierHandler) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // Installed before the translator's handler, as a host's own would be.
        struct sigaction earlier {};
        earlier.sa_handler = ExitFromEarlierHandler;
        sigemptyset(&earlier.sa_mask);
        sigaction(SIGFPE, &earlier, nullptr);
        SetStructuredExceptionTranslator(Capture);
        std::thread bare([] { qrv::test::RaiseIntegerDivideByZero(); });
        bare.join();
      },
      ::testing::ExitedWithCode(42), "");
}

TEST(StructuredExceptionDeathTest, SentSignalOnATranslatingThreadReachesTheEarlierHandler) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        struct sigaction earlier {};
        earlier.sa_handler = ExitFromEarlierHandler;
        sigemptyset(&earlier.sa_mask);
        sigaction(SIGBUS, &earlier, nullptr);
        SetStructuredExceptionTranslator(Capture);
        raise(SIGBUS);
      },
      ::testing::ExitedWithCode(42), "");
}

TEST(StructuredExceptionDeathTest, TranslatorThatReturnsDoesNotLoopForever) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        SetStructuredExceptionTranslator([](uint32_t, ExceptionPointers*) {});
        qrv::test::RaiseAccessViolation();
      },
      "");
}

}  // namespace
