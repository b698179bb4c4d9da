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
//   DLL linked with its own static copy of the C++ runtime), except inside a
//   call made through CallForeign (platform/foreign_call.h): its frame
//   handler resumes the thread at that call, which throws from there.
#include "platform/structured_exception.h"

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <mutex>

#include "platform/foreign_call.h"

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

// The trampoline of foreign calls, defined in assembly below; frame is a
// ForeignCallFrame.
extern "C" uint32_t qrv_call_foreign(void* frame, const void* function, const uint32_t* arguments,
                                     uint32_t count);

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

// Pending floating-point exception flags would fault again in the code the
// thread resumes in.
void ClearPendingFloatingPointFaults(CONTEXT* context) {
  if ((context->ContextFlags & CONTEXT_FLOATING_POINT) == CONTEXT_FLOATING_POINT) {
    context->FloatSave.StatusWord &= ~0xFFu;
  }
  if ((context->ContextFlags & CONTEXT_EXTENDED_REGISTERS) == CONTEXT_EXTENDED_REGISTERS) {
    uint32_t mxcsr = 0;
    std::memcpy(&mxcsr, context->ExtendedRegisters + 24, sizeof(mxcsr));
    mxcsr &= ~0x3Fu;
    std::memcpy(context->ExtendedRegisters + 24, &mxcsr, sizeof(mxcsr));
  }
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
  ClearPendingFloatingPointFaults(context);

  if (!fromCaller) {
    // The unwinder looks up return address - 1, which is then the faulting
    // instruction itself: its frame state and its exception region apply.
    context->Esp -= sizeof(DWORD);
    *reinterpret_cast<DWORD*>(context->Esp) = context->Eip + 1;
  }
  context->Eip = reinterpret_cast<DWORD>(&ThrowFromFault);
  return EXCEPTION_CONTINUE_EXECUTION;
}

// A call into another module, on the caller's stack. It begins with the
// system's exception registration record (link, handler): the dispatcher
// hands the record's address back to the handler. Offsets are fixed by the
// trampoline below.
struct ForeignCallFrame {
  ForeignCallFrame* link;  // 0: the thread's chain before this call
  void* handler;           // 4
  uint32_t ebp;            // 8: the trampoline's frame
  uint32_t esp;            // 12: its arguments' copy, as the callee finds them
  uint32_t resume;         // 16: where the thread goes on after a taken fault
  uint32_t result;         // 20
};
static_assert(offsetof(ForeignCallFrame, result) == 20);

// Whether plug-in code (a return address into code our unwinder covers) lies
// on the stack between a fault and the foreign call it happened in.
bool PluginCodeBetween(uintptr_t low, uintptr_t high) {
  for (uintptr_t at = (low + 3) & ~uintptr_t{3}; at + sizeof(uint32_t) <= high; at += 4) {
    const uintptr_t word = *reinterpret_cast<const uint32_t*>(at);
    if (word > 0x10000 && Unwindable(word - 1)) return true;
  }
  return false;
}

// The handler of every ForeignCallFrame. Runs on the faulting thread during
// frame-based dispatch, so only faults the foreign module's own handlers
// left reach it. Takes no lock of ours (the unwinder's lookup takes its own).
EXCEPTION_DISPOSITION __cdecl ForeignCallHandler(EXCEPTION_RECORD* record, void* establisher,
                                                 CONTEXT* context, void*) {
  constexpr DWORD kUnwinding = 0x2 | 0x4;  // EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND
  if ((record->ExceptionFlags & kUnwinding) != 0 ||
      (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE) != 0 ||
      !IsProcessorFault(record->ExceptionCode)) {
    return ExceptionContinueSearch;
  }
  ThreadFault* fault = Current();
  if (fault == nullptr || fault->translator == nullptr) return ExceptionContinueSearch;
  auto* frame = static_cast<ForeignCallFrame*>(establisher);
  // The callee's return address into the trampoline sits just below esp.
  if (Unwindable(context->Eip) || PluginCodeBetween(context->Esp, frame->esp - sizeof(uint32_t))) {
    return ExceptionContinueSearch;
  }
  std::memcpy(&fault->record, record, sizeof(fault->record));
  std::memcpy(&fault->context, context, sizeof(fault->context));
  ClearPendingFloatingPointFaults(context);
  // The x87 stack of the abandoned code is dropped, the direction flag
  // cleared: the state the calling convention promises at a return.
  if ((context->ContextFlags & CONTEXT_FLOATING_POINT) == CONTEXT_FLOATING_POINT) {
    context->FloatSave.TagWord = 0xFFFF;
  }
  if ((context->ContextFlags & CONTEXT_EXTENDED_REGISTERS) == CONTEXT_EXTENDED_REGISTERS) {
    context->ExtendedRegisters[4] = 0;  // abridged tag word: all empty
  }
  context->EFlags &= ~0x400u;
  context->Ebx = reinterpret_cast<DWORD>(frame);
  context->Ebp = frame->ebp;
  context->Esp = frame->esp;
  context->Eip = frame->resume;
  return ExceptionContinueExecution;
}

// qrv_call_foreign(frame, function, arguments, count):
// Copies the arguments, links frame into the thread's handler chain, calls
// the function and unlinks again: 1 when it returned (result in the frame),
// 0 when ForeignCallHandler resumed the thread at label 1 (EBX = frame,
// EBP restored). Its unwind information lets an exception of ours thrown
// inside the callee pass through; the caller then restores the chain.
__asm__(
    ".text\n"
    ".p2align 4\n"
    ".globl _qrv_call_foreign\n"
    "_qrv_call_foreign:\n"
    "  .cfi_startproc\n"
    "  pushl %ebp\n"
    "  .cfi_def_cfa_offset 8\n"
    "  .cfi_offset %ebp, -8\n"
    "  movl %esp, %ebp\n"
    "  .cfi_def_cfa_register %ebp\n"
    "  pushl %ebx\n"
    "  .cfi_offset %ebx, -12\n"
    "  pushl %esi\n"
    "  .cfi_offset %esi, -16\n"
    "  pushl %edi\n"
    "  .cfi_offset %edi, -20\n"
    "  movl 8(%ebp), %ebx\n"   // frame
    "  movl 20(%ebp), %ecx\n"  // count
    "  leal 0(,%ecx,4), %eax\n"
    "  subl %eax, %esp\n"
    "  andl $-16, %esp\n"
    "  movl %esp, %edi\n"
    "  movl 16(%ebp), %esi\n"
    "  cld\n"
    "  rep movsl\n"
    "  movl %ebp, 8(%ebx)\n"
    "  movl %esp, 12(%ebx)\n"
    "  movl $1f, 16(%ebx)\n"
    "  movl %fs:0, %eax\n"
    "  movl %eax, 0(%ebx)\n"
    "  movl %ebx, %fs:0\n"
    "  call *12(%ebp)\n"
    "  movl %eax, 20(%ebx)\n"
    "  movl 0(%ebx), %ecx\n"
    "  movl %ecx, %fs:0\n"
    "  movl $1, %eax\n"
    "  jmp 2f\n"
    "1:\n"
    "  movl 0(%ebx), %ecx\n"
    "  movl %ecx, %fs:0\n"
    "  xorl %eax, %eax\n"
    "2:\n"
    "  leal -12(%ebp), %esp\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebx\n"
    "  popl %ebp\n"
    "  .cfi_def_cfa %esp, 4\n"
    "  ret\n"
    "  .cfi_endproc\n");

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

namespace foreign_call_detail {

// Threading: the calling thread; no lock.
bool Call(const void* function, const uint32_t* arguments, uint32_t count, uint32_t* result) {
  ForeignCallFrame frame{};
  frame.handler = reinterpret_cast<void*>(&ForeignCallHandler);
  // An exception of ours thrown inside the callee (a fault in plug-in code
  // it called back) leaves through the trampoline without unlinking.
  struct ChainRestore {
    void* chain;
    ~ChainRestore() { __asm__ volatile("movl %0, %%fs:0" : : "r"(chain) : "memory"); }
  } restore{nullptr};
  __asm__ volatile("movl %%fs:0, %0" : "=r"(restore.chain));
  const bool returned = qrv_call_foreign(&frame, function, arguments, count) != 0;
  *result = frame.result;
  return returned;
}

void RaiseTakenFault() {
  ThreadFault* fault = Current();
  ExceptionRecord32 record = fault->record;
  ContextRecord32 context = fault->context;
  ExceptionPointers pointers{&record, &context};
  fault->translator(record.code, &pointers);
  TerminateProcess(GetCurrentProcess(), record.code);  // a translator that returned
  for (;;) {
  }
}

}  // namespace foreign_call_detail

}  // namespace qrv::platform
