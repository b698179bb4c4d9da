// Win32 backend of the per-thread translator. Processor faults arrive at one
// process-wide vectored exception handler. On a thread with a translator it
// copies the system's EXCEPTION_RECORD and CONTEXT (the 32-bit layouts are
// exactly the two records), then makes the faulting thread continue in
// ThrowFromFault as if the faulting instruction had called it; that function
// calls the translator, which throws, and the exception unwinds from the
// faulting instruction through every frame built with -fnon-call-exceptions.
// (_set_se_translator cannot serve here: it needs the compiler's own
// structured-exception frames, which g++ does not emit.)
//
// Not translated, so Windows ends the process as it would without us:
// - a stack overflow: the handler and the unwinder would need the stack that
//   has just run out, and the guard page is gone until the stack is reset;
// - faults on threads without a translator, and exceptions that are not
//   processor faults (breakpoints, debugger messages, C++ exceptions);
// - faults whose code the unwinder of this module cannot walk (code without
//   unwind tables, or a module whose tables its own runtime keeps, such as a
//   DLL linked with its own static copy of the C++ runtime).
#include "platform/structured_exception.h"

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <mutex>

#if !defined(__i386__)
#error "the Win32 backend is built for 32-bit x86 only"
#endif

// The DWARF unwinder's lookup of the frame description covering pc (part of
// the compiler runtime); null when no loaded unwind table covers it.
struct QrvDwarfEhBases {
  void* tbase;
  void* dbase;
  void* func;
};
extern "C" const void* _Unwind_Find_FDE(void* pc, QrvDwarfEhBases* bases);

namespace qrv::platform {
namespace {

static_assert(sizeof(EXCEPTION_RECORD) == sizeof(ExceptionRecord32));
static_assert(sizeof(CONTEXT) == sizeof(ContextRecord32));
static_assert(offsetof(CONTEXT, Eip) == offsetof(ContextRecord32, eip));
static_assert(offsetof(CONTEXT, ExtendedRegisters) == offsetof(ContextRecord32, extendedRegisters));

// What one thread needs at a fault; reached through a fiber-local slot, which
// reads without allocating and runs a destructor at thread exit.
struct ThreadFault {
  StructuredExceptionTranslator translator = nullptr;
  ExceptionRecord32 record{};
  ContextRecord32 context{};
};

DWORD g_slot = FLS_OUT_OF_INDEXES;
std::once_flag g_installOnce;

void WINAPI ReleaseThreadFault(void* block) {
  delete static_cast<ThreadFault*>(block);
}

void InstallProcessHandler();

ThreadFault* Current() {
  if (g_slot == FLS_OUT_OF_INDEXES) return nullptr;
  return static_cast<ThreadFault*>(FlsGetValue(g_slot));
}

bool IsProcessorFault(DWORD code) {
  switch (code) {
    case kAccessViolation:
    case kInPageError:
    case kIllegalInstruction:
    case kIntDivideByZero:
    case kIntOverflow:
    case kPrivInstruction:
    case kDatatypeMisalignment:
    case 0xC000008Cu:  // array bounds exceeded
    case kFltDenormalOperand:
    case kFltDivideByZero:
    case kFltInexactResult:
    case kFltInvalidOperation:
    case kFltOverflow:
    case 0xC0000092u:  // floating-point stack check
    case kFltUnderflow:
      return true;
    default:
      return false;  // kStackOverflow among them: see the top of this file
  }
}

bool Unwindable(uintptr_t pc) {
  QrvDwarfEhBases bases{};
  return _Unwind_Find_FDE(reinterpret_cast<void*>(pc), &bases) != nullptr;
}

// Runs on the faulting thread in place of the faulting instruction, which it
// appears to have been called from. Never returns.
[[noreturn]] __attribute__((noinline, force_align_arg_pointer)) void ThrowFromFault() {
  ThreadFault* fault = Current();
  // Copies on this stack: a fault inside the translator must not overwrite
  // the records it is reading.
  ExceptionRecord32 record = fault->record;
  ContextRecord32 context = fault->context;
  ExceptionPointers pointers{&record, &context};
  fault->translator(record.code, &pointers);
  // A translator that returns cannot mend the fault: end the process the way
  // an unhandled fault would.
  TerminateProcess(GetCurrentProcess(), record.code);
  for (;;) {
  }
}

// Threading: runs on the faulting thread, before any frame-based handler.
// Takes no lock of ours (the unwinder's lookup takes its own).
LONG CALLBACK FaultFilter(EXCEPTION_POINTERS* info) {
  ThreadFault* fault = Current();
  if (fault == nullptr || fault->translator == nullptr || info == nullptr) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  CONTEXT* context = info->ContextRecord;
  if (!IsProcessorFault(record->ExceptionCode)) return EXCEPTION_CONTINUE_SEARCH;

  // A jump or call to an address no unwind table covers (a null function
  // pointer, typically) is resumed from its caller: the return address the
  // call pushed then serves as the place the throw comes from.
  bool fromCaller = false;
  if (!Unwindable(context->Eip)) {
    // Only an execution fault at the program counter itself: elsewhere the
    // word at the stack pointer need not be a return address.
    const bool executeAtPc =
        record->ExceptionCode == kAccessViolation && record->NumberParameters >= 2 &&
        record->ExceptionInformation[0] == 8 && record->ExceptionInformation[1] == context->Eip;
    if (!executeAtPc) return EXCEPTION_CONTINUE_SEARCH;
    const auto returnAddress = *reinterpret_cast<const uintptr_t*>(context->Esp);
    if (!Unwindable(returnAddress - 1)) return EXCEPTION_CONTINUE_SEARCH;
    fromCaller = true;
  }

  std::memcpy(&fault->record, record, sizeof(fault->record));
  std::memcpy(&fault->context, context, sizeof(fault->context));

  // Pending floating-point exception flags would fault again in the unwinder.
  if ((context->ContextFlags & CONTEXT_FLOATING_POINT) == CONTEXT_FLOATING_POINT) {
    context->FloatSave.StatusWord &= ~0xFFu;
  }
  if ((context->ContextFlags & CONTEXT_EXTENDED_REGISTERS) == CONTEXT_EXTENDED_REGISTERS) {
    uint32_t mxcsr = 0;
    std::memcpy(&mxcsr, context->ExtendedRegisters + 24, sizeof(mxcsr));
    mxcsr &= ~0x3Fu;
    std::memcpy(context->ExtendedRegisters + 24, &mxcsr, sizeof(mxcsr));
  }

  if (!fromCaller) {
    // The unwinder looks up return address - 1, which is then the faulting
    // instruction itself: its frame state and its exception region apply.
    context->Esp -= sizeof(DWORD);
    *reinterpret_cast<DWORD*>(context->Esp) = context->Eip + 1;
  }
  context->Eip = reinterpret_cast<DWORD>(&ThrowFromFault);
  return EXCEPTION_CONTINUE_EXECUTION;
}

void InstallProcessHandler() {
  g_slot = FlsAlloc(ReleaseThreadFault);
  if (g_slot == FLS_OUT_OF_INDEXES) return;
  AddVectoredExceptionHandler(1, FaultFilter);
}

}  // namespace

// Threading: the calling thread; the first call in the process takes a
// once-flag to install the handler. Calls nothing out.
StructuredExceptionTranslator SetStructuredExceptionTranslator(
    StructuredExceptionTranslator translator) {
  ThreadFault* fault = Current();
  const StructuredExceptionTranslator previous = fault != nullptr ? fault->translator : nullptr;
  if (translator != nullptr) {
    std::call_once(g_installOnce, InstallProcessHandler);
    if (g_slot == FLS_OUT_OF_INDEXES) return previous;
    if (fault == nullptr) {
      fault = new ThreadFault;
      FlsSetValue(g_slot, fault);
    }
  }
  if (fault != nullptr) fault->translator = translator;
  return previous;
}

}  // namespace qrv::platform
