// The per-thread structured-exception translator (the _set_se_translator hook).
//
// On a thread that has installed a translator, a processor fault (SIGSEGV,
// SIGBUS, SIGFPE, SIGILL, and a stack overflow caught on an alternate signal
// stack) calls the translator at the point of the fault with the Windows
// exception code and the two records below; the translator throws, and the
// exception unwinds from the faulting instruction through every frame built
// with -fnon-call-exceptions. On a thread without a translator a fault behaves
// exactly as it would without the plug-in.
#pragma once

#include <cstdint>

namespace qrv::platform {

// The 32-bit Windows EXCEPTION_RECORD layout (80 bytes): code, flags, chained
// record, address, number of parameters, 15 parameters.
struct ExceptionRecord32 {
  uint32_t code;
  uint32_t flags;
  uint32_t chainedRecord;
  uint32_t address;
  uint32_t numberParameters;
  uint32_t information[15];
};
static_assert(sizeof(ExceptionRecord32) == 80);

// The 32-bit x86 Windows CONTEXT layout (716 bytes). Filled with the
// platform's equivalents at the fault; on x86_64 the low halves of the 64-bit
// registers go into the 32-bit slots.
struct ContextRecord32 {
  uint32_t contextFlags;
  uint32_t dr0, dr1, dr2, dr3, dr6, dr7;
  uint8_t floatSave[112];
  uint32_t segGs, segFs, segEs, segDs;
  uint32_t edi, esi, ebx, edx, ecx, eax;
  uint32_t ebp, eip, segCs, eFlags, esp, segSs;
  uint8_t extendedRegisters[512];
};
static_assert(sizeof(ContextRecord32) == 716);

// EXCEPTION_POINTERS.
struct ExceptionPointers {
  ExceptionRecord32* exceptionRecord;
  ContextRecord32* contextRecord;
};

// Windows exception codes the fault handler produces.
inline constexpr uint32_t kAccessViolation = 0xC0000005u;
inline constexpr uint32_t kInPageError = 0xC0000006u;
inline constexpr uint32_t kIllegalInstruction = 0xC000001Du;
inline constexpr uint32_t kIntDivideByZero = 0xC0000094u;
inline constexpr uint32_t kIntOverflow = 0xC0000095u;
inline constexpr uint32_t kPrivInstruction = 0xC0000096u;
inline constexpr uint32_t kStackOverflow = 0xC00000FDu;
inline constexpr uint32_t kDatatypeMisalignment = 0x80000002u;
inline constexpr uint32_t kBreakpoint = 0x80000003u;
inline constexpr uint32_t kFltDivideByZero = 0xC000008Eu;
inline constexpr uint32_t kFltInvalidOperation = 0xC0000090u;
inline constexpr uint32_t kFltOverflow = 0xC0000091u;
inline constexpr uint32_t kFltUnderflow = 0xC0000093u;
inline constexpr uint32_t kFltInexactResult = 0xC000008Fu;
inline constexpr uint32_t kFltDenormalOperand = 0xC000008Du;

// The translator: never returns normally (it throws).
using StructuredExceptionTranslator = void (*)(uint32_t code, ExceptionPointers* pointers);

// Installs translator for the calling thread and returns the previous one
// (null when none). The first installation on a thread also sets up the
// thread's alternate signal stack; it is released when the thread exits.
// Installing null turns translation off for the thread.
StructuredExceptionTranslator SetStructuredExceptionTranslator(
    StructuredExceptionTranslator translator);

}  // namespace qrv::platform
