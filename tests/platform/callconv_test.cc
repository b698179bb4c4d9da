// Callbacks declared with QRV_CALLBACK remove their own arguments on 32-bit
// x86, as code built for the Windows convention expects.
#include "platform/callconv.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

int32_t g_sum = 0;

int32_t QRV_CALLBACK ThreeArguments(int32_t a, int32_t b, int32_t c) {
  g_sum = a + 10 * b + 100 * c;
  return g_sum;
}

TEST(CallingConvention, CallbackRemovesItsOwnArguments) {
#if defined(__i386__)
  using Callback = int32_t(QRV_CALLBACK*)(int32_t, int32_t, int32_t);
  Callback volatile callback = ThreeArguments;
  Callback target = callback;
  uint32_t before = 0;
  uint32_t after = 0;
  int32_t result = 0;
  // Push the arguments and call, then compare the stack pointer with its value
  // before the pushes: a callee-cleaned function leaves them equal. The saved
  // value is put back in any case so a wrong convention cannot break the test.
  asm volatile(
      "movl %%esp, %[before]\n\t"
      "pushl $3\n\t"
      "pushl $2\n\t"
      "pushl $1\n\t"
      "call *%[target]\n\t"
      "movl %%esp, %[after]\n\t"
      "movl %[before], %%esp\n\t"
      : [before] "=&S"(before), [after] "=&D"(after), "=a"(result)
      : [target] "b"(target)
      : "ecx", "edx", "memory", "cc");
  EXPECT_EQ(result, 321);
  EXPECT_EQ(g_sum, 321);
  EXPECT_EQ(after, before);
#else
  EXPECT_EQ(ThreeArguments(1, 2, 3), 321);
  GTEST_SKIP() << "the convention only differs on 32-bit x86";
#endif
}

}  // namespace
