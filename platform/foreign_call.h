// Calls into a module of another compiler (the device library) inside the
// fault barrier.
//
// Such a module carries no unwind tables of ours, so a processor fault in it
// cannot be unwound to the barrier. On 32-bit Windows a call made through
// CallForeign registers a frame handler for its duration: a processor fault
// that the module's own handlers leave, on a thread whose translator is
// installed, resumes at this call, which then calls the translator from a
// frame of ours (so CKTBException unwinds every frame of ours as for any
// other fault). The module's own frames between the fault and the call are
// skipped, not unwound: what they held (its locks, its memory) stays held.
// Elsewhere (Linux, where all modules share one unwinder and the signal
// handler translates faults anywhere) it is a plain call.
//
// Not resumed, so the fault goes on as it would without the call:
// - on a thread without a translator, and exceptions that are not processor
//   faults (C++ exceptions of the module, breakpoints) or a stack overflow;
// - when plug-in code lies between the fault and the call (the module called
//   back into the plug-in, and the fault is in code that plug-in code
//   called): skipping it would leave the plug-in's own locks held.
//
// Any thread; no lock. The function must take 32-bit arguments only, which
// the caller removes (the device library's convention), and return 32 bits.
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>

namespace qrv::platform {

#if defined(_WIN32) && defined(__i386__)
namespace foreign_call_detail {
// Calls function with count 32-bit arguments. True, with its result, when it
// returned; false when a processor fault inside it was taken (the records are
// kept for RaiseTakenFault).
bool Call(const void* function, const uint32_t* arguments, uint32_t count, uint32_t* result);
// Calls the thread's translator with the records of the fault Call took.
[[noreturn]] void RaiseTakenFault();
}  // namespace foreign_call_detail
#endif

template <class Result, class... Parameters, class... Arguments>
Result CallForeign(Result (*function)(Parameters...), Arguments... arguments) {
  static_assert(sizeof...(Parameters) == sizeof...(Arguments));
#if defined(_WIN32) && defined(__i386__)
  static_assert(sizeof(Result) == 4 && std::is_trivially_copyable_v<Result>);
  static_assert(((sizeof(Parameters) == 4 && std::is_trivially_copyable_v<Parameters>)&&...));
  const uint32_t words[] = {std::bit_cast<uint32_t>(static_cast<Parameters>(arguments))..., 0u};
  uint32_t result = 0;
  if (!foreign_call_detail::Call(reinterpret_cast<const void*>(function), words,
                                 sizeof...(Parameters), &result)) {
    foreign_call_detail::RaiseTakenFault();
  }
  return std::bit_cast<Result>(result);
#else
  return function(static_cast<Parameters>(arguments)...);
#endif
}

}  // namespace qrv::platform
