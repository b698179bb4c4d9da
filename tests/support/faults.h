// Processor faults on demand, for tests of the fault barrier (for example as
// a test-double action). Each raises its fault in a leaf of its own, so the
// exception leaves through an ordinary call site of the caller. Sanitizer
// checks are off in them: the point is the hardware fault, not a report.
#pragma once

#include <climits>
#include <cstdint>

namespace qrv::test {

// Results of the faulting operations go here, so no optimiser drops them.
inline volatile int g_faultSink = 0;

#define QRV_TEST_RAW_FAULT __attribute__((noinline, no_sanitize("undefined", "thread")))

// Writes through a null pointer: an access violation.
QRV_TEST_RAW_FAULT inline void RaiseAccessViolation() {
  volatile int* volatile target = nullptr;
  *target = 1;
}

// Reads from address: an access violation when nothing is mapped there.
QRV_TEST_RAW_FAULT inline int ReadFrom(uintptr_t address) {
  g_faultSink = *reinterpret_cast<volatile int*>(address);
  return g_faultSink;
}

// Integer division by zero.
QRV_TEST_RAW_FAULT inline int RaiseIntegerDivideByZero() {
  volatile int dividend = 7;
  volatile int divisor = 0;
  g_faultSink = dividend / divisor;
  return g_faultSink;
}

// INT_MIN / -1: the quotient does not fit, which x86 reports as a divide error.
QRV_TEST_RAW_FAULT inline int RaiseIntegerDivideOverflow() {
  volatile int dividend = INT_MIN;
  volatile int divisor = -1;
  g_faultSink = dividend / divisor;
  return g_faultSink;
}

// An undefined opcode (ud2).
QRV_TEST_RAW_FAULT inline void RaiseIllegalInstruction() {
  __builtin_trap();
}

// Calls through a null function pointer.
QRV_TEST_RAW_FAULT inline int CallNullFunction() {
  int (*volatile function)(int) = nullptr;
  g_faultSink = function(1) + 1;
  return g_faultSink;
}

#undef QRV_TEST_RAW_FAULT

}  // namespace qrv::test
