// Processor faults become calls of the thread's translator, which throws.
//
// One process-wide handler serves SIGSEGV, SIGBUS, SIGFPE and SIGILL. It reads
// only initial-exec thread-locals (no allocation, no lazy TLS set-up), so it
// can tell at once whether the faulting thread asked for translation. Threads
// that did not, and signals sent with kill/raise, go to whatever handled the
// signal before us, or to the default action, so the process ends exactly as
// it would have. The handler runs on a per-thread alternate stack, which is
// what lets a stack overflow be translated at all.
#include "platform/structured_exception.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <mutex>

namespace qrv::platform {
namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr size_t kSignalCount = sizeof(kFaultSignals) / sizeof(kFaultSignals[0]);
constexpr size_t kAltStackBytes = 64 * 1024;
// A fault this close below the stack pointer (or in the region under the
// thread's stack) is the stack running out, not a stray pointer.
constexpr uintptr_t kStackOverflowReach = 64 * 1024;

// 32-bit x86 CONTEXT flags: i386 | control | integer | segments, plus the
// floating-point and extended (FXSAVE) parts when the kernel saved them.
constexpr uint32_t kContextFull = 0x00010007u;
constexpr uint32_t kContextFloatingPoint = 0x00010008u;
constexpr uint32_t kContextExtendedRegisters = 0x00010020u;

// Access-violation kinds of the first exception parameter.
constexpr uint32_t kAccessRead = 0;
constexpr uint32_t kAccessWrite = 1;
constexpr uint32_t kAccessExecute = 8;

// x86 page-fault error-code bits.
constexpr uintptr_t kPageFaultWrite = 0x2;
constexpr uintptr_t kPageFaultFetch = 0x10;
constexpr int kTrapPageFault = 14;

struct sigaction g_previous[kSignalCount];
std::once_flag g_installOnce;

// Read by the signal handler: initial-exec, trivially typed.
thread_local StructuredExceptionTranslator t_translator __attribute__((tls_model("initial-exec"))) =
    nullptr;
thread_local uintptr_t t_stackLow __attribute__((tls_model("initial-exec"))) = 0;

size_t SignalIndex(int sig) {
  for (size_t i = 0; i < kSignalCount; ++i) {
    if (kFaultSignals[i] == sig) return i;
  }
  return 0;
}

// The thread's alternate signal stack, with an inaccessible page below it so
// a runaway handler faults instead of overwriting memory. Released (and the
// stack that was there before put back) when the thread exits.
class AltStack {
 public:
  AltStack() = default;
  AltStack(const AltStack&) = delete;
  AltStack& operator=(const AltStack&) = delete;
  ~AltStack() { Release(); }

  bool Ensure() {
    if (mapping_ != nullptr) return true;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    long minimum = sysconf(_SC_MINSIGSTKSZ);
    if (minimum < MINSIGSTKSZ) minimum = MINSIGSTKSZ;
    size_t usable = kAltStackBytes + static_cast<size_t>(minimum);
    usable = (usable + page - 1) / page * page;
    void* mapping = mmap(nullptr, usable + page, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED) return false;
    mprotect(mapping, page, PROT_NONE);
    stack_t stack{};
    stack.ss_sp = static_cast<char*>(mapping) + page;
    stack.ss_size = usable;
    stack.ss_flags = 0;
    if (sigaltstack(&stack, &previous_) != 0) {
      munmap(mapping, usable + page);
      return false;
    }
    mapping_ = mapping;
    mappingSize_ = usable + page;
    stack_ = stack.ss_sp;
    return true;
  }

 private:
  void Release() {
    if (mapping_ == nullptr) return;
    t_translator = nullptr;
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == stack_) {
      if ((previous_.ss_flags & SS_DISABLE) == 0) {
        sigaltstack(&previous_, nullptr);
      } else {
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
      }
    }
    munmap(mapping_, mappingSize_);
    mapping_ = nullptr;
  }

  void* mapping_ = nullptr;
  size_t mappingSize_ = 0;
  void* stack_ = nullptr;
  stack_t previous_{};
};

thread_local AltStack t_altStack;

// The lowest address of the calling thread's stack, or 0 when unknown.
uintptr_t StackLowEnd() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
  void* low = nullptr;
  size_t size = 0;
  uintptr_t result = 0;
  if (pthread_attr_getstack(&attr, &low, &size) == 0) result = reinterpret_cast<uintptr_t>(low);
  pthread_attr_destroy(&attr);
  return result;
}

// Hands the signal to whoever had it before us. For the default action the
// disposition is restored: a real fault then repeats on return and ends the
// process as usual, a sent signal is raised again.
void PassOn(int sig, siginfo_t* info, void* context) {
  const struct sigaction& previous = g_previous[SignalIndex(sig)];
  if ((previous.sa_flags & SA_SIGINFO) != 0) {
    if (previous.sa_sigaction != nullptr) previous.sa_sigaction(sig, info, context);
    return;
  }
  if (previous.sa_handler == SIG_IGN) {
    // The kernel does not let a processor fault be ignored: it kills.
    return;
  }
  if (previous.sa_handler == SIG_DFL) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(sig, &fallback, nullptr);
    if (info == nullptr || info->si_code <= 0) raise(sig);
    return;
  }
  previous.sa_handler(sig);
}

// Register access over the two layouts of the saved machine context.
struct Registers {
  explicit Registers(ucontext_t* uc) : gregs(uc->uc_mcontext.gregs) {}
#if defined(__x86_64__)
  greg_t& Pc() {
    return gregs[REG_RIP];
  }
  greg_t& Sp() {
    return gregs[REG_RSP];
  }
#else
  greg_t& Pc() {
    return gregs[REG_EIP];
  }
  greg_t& Sp() {
    return gregs[REG_ESP];
  }
#endif
  greg_t Err() const {
    return gregs[REG_ERR];
  }
  greg_t Trap() const {
    return gregs[REG_TRAPNO];
  }
  greg_t* gregs;
};

bool IsPrivilegedOpcode(uintptr_t pc) {
  // Raised as a general-protection SIGSEGV; these single-byte forms are the
  // ones ordinary code trips over (hlt, cli, sti, in, out).
  const uint8_t op = *reinterpret_cast<const volatile uint8_t*>(pc);
  return op == 0xF4 || op == 0xFA || op == 0xFB || (op >= 0xE4 && op <= 0xE7) ||
         (op >= 0xEC && op <= 0xEF);
}

uint32_t WindowsCode(int sig, const siginfo_t* info, Registers& regs) {
  const int code = info->si_code;
  switch (sig) {
    case SIGSEGV: {
      const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
      const auto sp = static_cast<uintptr_t>(regs.Sp());
      if (code == SEGV_MAPERR || code == SEGV_ACCERR) {
        const bool nearStackPointer = address < sp + 256 && address + kStackOverflowReach >= sp;
        const bool underStack = t_stackLow != 0 && address < t_stackLow + 4096 &&
                                address + 16 * kStackOverflowReach >= t_stackLow;
        if (nearStackPointer || underStack) return kStackOverflow;
      }
      if (code == SI_KERNEL && IsPrivilegedOpcode(static_cast<uintptr_t>(regs.Pc()))) {
        return kPrivInstruction;
      }
      return kAccessViolation;
    }
    case SIGBUS:
      return code == BUS_ADRALN ? kDatatypeMisalignment : kInPageError;
    case SIGFPE:
      switch (code) {
        case FPE_INTDIV:
          return kIntDivideByZero;
        case FPE_INTOVF:
          return kIntOverflow;
        case FPE_FLTDIV:
          return kFltDivideByZero;
        case FPE_FLTOVF:
          return kFltOverflow;
        case FPE_FLTUND:
          return kFltUnderflow;
        case FPE_FLTRES:
          return kFltInexactResult;
        case FPE_FLTSUB:
          return 0xC000008Cu;  // array bounds exceeded
        default:
          return kFltInvalidOperation;
      }
    case SIGILL:
      return (code == ILL_PRVOPC || code == ILL_PRVREG) ? kPrivInstruction : kIllegalInstruction;
    default:
      return kIllegalInstruction;
  }
}

void FillContext(ucontext_t* uc, ContextRecord32& out) {
  std::memset(&out, 0, sizeof(out));
  const greg_t* g = uc->uc_mcontext.gregs;
  out.contextFlags = kContextFull;
#if defined(__x86_64__)
  out.eip = static_cast<uint32_t>(g[REG_RIP]);
  out.esp = static_cast<uint32_t>(g[REG_RSP]);
  out.ebp = static_cast<uint32_t>(g[REG_RBP]);
  out.eax = static_cast<uint32_t>(g[REG_RAX]);
  out.ebx = static_cast<uint32_t>(g[REG_RBX]);
  out.ecx = static_cast<uint32_t>(g[REG_RCX]);
  out.edx = static_cast<uint32_t>(g[REG_RDX]);
  out.esi = static_cast<uint32_t>(g[REG_RSI]);
  out.edi = static_cast<uint32_t>(g[REG_RDI]);
  out.eFlags = static_cast<uint32_t>(g[REG_EFL]);
  const auto segments = static_cast<uint64_t>(g[REG_CSGSFS]);
  out.segCs = static_cast<uint32_t>(segments & 0xFFFF);
  out.segGs = static_cast<uint32_t>((segments >> 16) & 0xFFFF);
  out.segFs = static_cast<uint32_t>((segments >> 32) & 0xFFFF);
  out.segSs = static_cast<uint32_t>((segments >> 48) & 0xFFFF);
  if (uc->uc_mcontext.fpregs != nullptr) {
    // The kernel saves the FXSAVE image, which is what the extended area holds.
    static_assert(sizeof(*uc->uc_mcontext.fpregs) == sizeof(out.extendedRegisters));
    std::memcpy(out.extendedRegisters, uc->uc_mcontext.fpregs, sizeof(out.extendedRegisters));
    const auto* fx = uc->uc_mcontext.fpregs;
    uint32_t words[3] = {fx->cwd, fx->swd, fx->ftw};
    std::memcpy(out.floatSave, words, sizeof(words));
    for (int i = 0; i < 8; ++i) {
      std::memcpy(out.floatSave + 28 + 10 * i, &fx->_st[i], 10);
    }
    out.contextFlags |= kContextFloatingPoint | kContextExtendedRegisters;
  }
#else
  out.eip = static_cast<uint32_t>(g[REG_EIP]);
  out.esp = static_cast<uint32_t>(g[REG_ESP]);
  out.ebp = static_cast<uint32_t>(g[REG_EBP]);
  out.eax = static_cast<uint32_t>(g[REG_EAX]);
  out.ebx = static_cast<uint32_t>(g[REG_EBX]);
  out.ecx = static_cast<uint32_t>(g[REG_ECX]);
  out.edx = static_cast<uint32_t>(g[REG_EDX]);
  out.esi = static_cast<uint32_t>(g[REG_ESI]);
  out.edi = static_cast<uint32_t>(g[REG_EDI]);
  out.eFlags = static_cast<uint32_t>(g[REG_EFL]);
  out.segCs = static_cast<uint32_t>(g[REG_CS] & 0xFFFF);
  out.segSs = static_cast<uint32_t>(g[REG_SS] & 0xFFFF);
  out.segDs = static_cast<uint32_t>(g[REG_DS] & 0xFFFF);
  out.segEs = static_cast<uint32_t>(g[REG_ES] & 0xFFFF);
  out.segFs = static_cast<uint32_t>(g[REG_FS] & 0xFFFF);
  out.segGs = static_cast<uint32_t>(g[REG_GS] & 0xFFFF);
  if (uc->uc_mcontext.fpregs != nullptr) {
    // The legacy save area has exactly the 112-byte layout of floatSave; when
    // the kernel marks it (magic 0), the FXSAVE image follows it.
    const auto* legacy = reinterpret_cast<const uint8_t*>(uc->uc_mcontext.fpregs);
    std::memcpy(out.floatSave, legacy, sizeof(out.floatSave));
    out.contextFlags |= kContextFloatingPoint;
    uint16_t magic = 0;
    std::memcpy(&magic, legacy + 110, sizeof(magic));
    if (magic == 0) {
      std::memcpy(out.extendedRegisters, legacy + 112, sizeof(out.extendedRegisters));
      out.contextFlags |= kContextExtendedRegisters;
    }
  }
#endif
}

// The kernel runs a handler with the default floating-point state, and a
// throw never returns through sigreturn to restore the thread's own. Put back
// the control modes saved at the fault (x87 control word, MXCSR masks,
// rounding, flush-to-zero) so traps and rounding the thread chose survive;
// the exception flags stay clear, or the fault would be raised again.
void RestoreFloatingPointControl(const ucontext_t* uc) {
  if (uc->uc_mcontext.fpregs == nullptr) return;
  constexpr uint32_t kMxcsrFlags = 0x3F;
#if defined(__x86_64__)
  uint16_t control = uc->uc_mcontext.fpregs->cwd;
  uint32_t mxcsr = uc->uc_mcontext.fpregs->mxcsr & ~kMxcsrFlags;
  asm volatile("fnclex\n\tfldcw %0" : : "m"(control));
  asm volatile("ldmxcsr %0" : : "m"(mxcsr));
#else
  const auto* legacy = reinterpret_cast<const uint8_t*>(uc->uc_mcontext.fpregs);
  uint16_t control = 0;
  std::memcpy(&control, legacy, sizeof(control));
  asm volatile("fnclex\n\tfldcw %0" : : "m"(control));
  uint16_t magic = 0;
  std::memcpy(&magic, legacy + 110, sizeof(magic));
  if (magic == 0) {  // the FXSAVE image follows, with MXCSR 24 bytes into it
    uint32_t mxcsr = 0;
    std::memcpy(&mxcsr, legacy + 112 + 24, sizeof(mxcsr));
    mxcsr &= ~kMxcsrFlags;
    asm volatile("ldmxcsr %0" : : "m"(mxcsr));
  }
#endif
}

bool InsideSomeModule(uintptr_t pc) {
  Dl_info where{};
  return dladdr(reinterpret_cast<void*>(pc), &where) != 0 && where.dli_fbase != nullptr;
}

// Threading: runs on the faulting thread, on its alternate stack, with the
// signal blocked. Takes no lock of ours; calls the thread's translator, which
// throws through this frame back into the faulting code.
void FaultHandler(int sig, siginfo_t* info, void* raw) {
  const StructuredExceptionTranslator translator = t_translator;
  if (translator == nullptr || info == nullptr || info->si_code <= 0 || raw == nullptr) {
    PassOn(sig, info, raw);
    return;
  }
  auto* uc = static_cast<ucontext_t*>(raw);
  Registers regs(uc);

  ExceptionRecord32 record;
  std::memset(&record, 0, sizeof(record));
  ContextRecord32 context;
  FillContext(uc, context);
  record.code = WindowsCode(sig, info, regs);
  record.flags = 0;
  record.address = static_cast<uint32_t>(regs.Pc());
  const auto faultAddress = reinterpret_cast<uintptr_t>(info->si_addr);
  const bool pageFault = regs.Trap() == kTrapPageFault;
  if (record.code == kAccessViolation || record.code == kInPageError ||
      record.code == kStackOverflow) {
    uint32_t kind = kAccessRead;
    if (pageFault && (regs.Err() & kPageFaultFetch) != 0) {
      kind = kAccessExecute;
    } else if (pageFault && (regs.Err() & kPageFaultWrite) != 0) {
      kind = kAccessWrite;
    }
    record.numberParameters = 2;
    record.information[0] = kind;
    record.information[1] = static_cast<uint32_t>(faultAddress);
  }

  // A jump or call to an address outside every module (a null function
  // pointer, typically) leaves no unwind information at the PC. Resume the
  // unwind from the caller instead: pop the return address the call pushed
  // and point inside the call instruction.
  const greg_t savedPc = regs.Pc();
  const greg_t savedSp = regs.Sp();
  const auto pc = static_cast<uintptr_t>(regs.Pc());
  if (sig == SIGSEGV && (faultAddress == pc || !InsideSomeModule(pc))) {
    const auto sp = static_cast<uintptr_t>(regs.Sp());
    const uintptr_t returnAddress = *reinterpret_cast<const uintptr_t*>(sp);
    if (InsideSomeModule(returnAddress)) {
      regs.Pc() = static_cast<greg_t>(returnAddress - 1);
      regs.Sp() = static_cast<greg_t>(sp + sizeof(uintptr_t));
    }
  }

  // The throw leaves the handler without sigreturn, so the kernel will not
  // restore the signal mask for us: put back the mask the thread had at the
  // fault (whoever delivered the signal may have blocked more than this one),
  // so a later fault on this thread gets through.
  pthread_sigmask(SIG_SETMASK, &uc->uc_sigmask, nullptr);

  RestoreFloatingPointControl(uc);

  ExceptionPointers pointers{&record, &context};
  translator(record.code, &pointers);

  // A translator that returns cannot mend the fault: let it take its course.
  regs.Pc() = savedPc;
  regs.Sp() = savedSp;
  PassOn(sig, info, raw);
}

void InstallProcessHandler() {
  // Read every earlier handler before ours can run, so a fault on another
  // thread never meets a half-filled record.
  for (size_t i = 0; i < kSignalCount; ++i) sigaction(kFaultSignals[i], nullptr, &g_previous[i]);
  for (size_t i = 0; i < kSignalCount; ++i) {
    struct sigaction action {};
    action.sa_sigaction = FaultHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(kFaultSignals[i], &action, nullptr);
  }
}

}  // namespace

// Threading: the calling thread; the first call in the process takes a
// once-flag to install the signal handler. Calls nothing out.
StructuredExceptionTranslator SetStructuredExceptionTranslator(
    StructuredExceptionTranslator translator) {
  const StructuredExceptionTranslator previous = t_translator;
  if (translator != nullptr) {
    std::call_once(g_installOnce, InstallProcessHandler);
    if (t_stackLow == 0) t_stackLow = StackLowEnd();
    // Without an alternate stack a stack overflow cannot be translated, but
    // every other fault still can.
    t_altStack.Ensure();
  }
  t_translator = translator;
  return previous;
}

}  // namespace qrv::platform
