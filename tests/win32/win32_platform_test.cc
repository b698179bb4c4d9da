// The Win32 backend under Windows (Wine): processor faults become
// CKTBException through the vectored handler with the system's own records,
// a stack overflow is left to Windows, and debugger messages reach
// OutputDebugStringA with their bytes unchanged.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "fault/kt_exception.h"
#include "platform/debug_output.h"
#include "platform/foreign_call.h"
#include "platform/structured_exception.h"
#include "platform/thread.h"
#include "tests/support/faults.h"

namespace {

using qrv::platform::ExceptionRecord32;

struct Guard {
  explicit Guard(int& counter) : counter(counter) {}
  ~Guard() { ++counter; }
  int& counter;
};

template <typename Body>
CKTBException Catch(Body body, int& guards) {
  qrv::fault::InstallFaultTranslator();
  try {
    Guard guard(guards);
    body();
  } catch (CKTBException& error) {
    return error;
  }
  ADD_FAILURE() << "no fault";
  return CKTBException{};
}

TEST(Win32Faults, EachKindArrivesWithItsCodeRecordAndMessage) {
  for (int round = 0; round < 3; ++round) {
    int guards = 0;
    CKTBException error = Catch([] { qrv::test::RaiseAccessViolation(); }, guards);
    EXPECT_EQ(error.code, static_cast<int32_t>(0xC0000005u));
    EXPECT_EQ(error.exceptionRecord.code, 0xC0000005u);
    EXPECT_EQ(error.exceptionRecord.numberParameters, 2u);
    EXPECT_EQ(error.exceptionRecord.information[0], 1u);  // a write
    EXPECT_EQ(error.exceptionRecord.information[1], 0u);  // at address 0
    EXPECT_EQ(error.exceptionRecord.address, error.contextRecord.eip);
    EXPECT_NE(error.contextRecord.esp, 0u);
    char message[512];
    EXPECT_EQ(error.GetErrorMessage(message, sizeof(message)), 1);
    char expected[512];
    qrv::fault::FormatExceptionMessage(error.code, expected, sizeof(expected));
    EXPECT_STREQ(message, expected);
    EXPECT_NE(std::string(message).find("Error code"), 0u);
    EXPECT_EQ(guards, 1) << "a guard between the fault and the catch must run";
  }

  int guards = 0;
  EXPECT_EQ(Catch([] { qrv::test::RaiseIntegerDivideByZero(); }, guards).exceptionRecord.code,
            0xC0000094u);
  EXPECT_EQ(Catch([] { qrv::test::RaiseIllegalInstruction(); }, guards).exceptionRecord.code,
            0xC000001Du);
  CKTBException nullCall = Catch([] { qrv::test::CallNullFunction(); }, guards);
  EXPECT_EQ(nullCall.exceptionRecord.code, 0xC0000005u);
  EXPECT_EQ(nullCall.exceptionRecord.information[0], 8u);  // execution
  EXPECT_EQ(guards, 3);
}

TEST(Win32Faults, EveryThreadTranslatesOnItsOwn) {
  struct Result {
    uint32_t code = 0;
  } result;
  qrv::platform::ThreadHandle thread = qrv::platform::StartThread(
      [](void* raw) -> uint32_t {
        int guards = 0;
        static_cast<Result*>(raw)->code =
            Catch([] { qrv::test::RaiseAccessViolation(); }, guards).exceptionRecord.code;
        return 0;
      },
      &result);
  ASSERT_TRUE(thread);
  ASSERT_TRUE(qrv::platform::WaitThread(thread, 30000));
  qrv::platform::CloseThread(thread);
  EXPECT_EQ(result.code, 0xC0000005u);
}

// Machine code made at run time: code no unwind table covers, as in a module
// of another compiler. Each piece takes two 32-bit arguments, the caller
// removing them.
class ForeignCode {
 public:
  ForeignCode() {
    page_ = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
  }
  ~ForeignCode() { VirtualFree(page_, 0, MEM_RELEASE); }
  using Function = int32_t (*)(int32_t, int32_t);
  Function Make(std::initializer_list<uint8_t> bytes) {
    uint8_t* at = page_ + used_;
    std::memcpy(at, bytes.begin(), bytes.size());
    used_ += (bytes.size() + 15) & ~size_t{15};
    return reinterpret_cast<Function>(at);
  }

 private:
  uint8_t* page_ = nullptr;
  size_t used_ = 0;
};

void* HandlerChain() {
  void* chain = nullptr;
  __asm__ volatile("movl %%fs:0, %0" : "=r"(chain));
  return chain;
}

TEST(Win32Faults, ForeignCallsReturnTheirResultOrEndInTheBarrier) {
  ForeignCode code;
  // mov eax, [esp+4]; add eax, [esp+8]; ret
  const auto add = code.Make({0x8B, 0x44, 0x24, 0x04, 0x03, 0x44, 0x24, 0x08, 0xC3});
  // mov [0], eax; ret
  const auto nullWrite = code.Make({0xA3, 0x00, 0x00, 0x00, 0x00, 0xC3});
  // xor ecx, ecx; div ecx; ret
  const auto divide = code.Make({0x31, 0xC9, 0xF7, 0xF1, 0xC3});
  // push 0; call [esp+8]: a jump to address 0 with this code's return address
  const auto nullCall = code.Make({0x6A, 0x00, 0xFF, 0x54, 0x24, 0x08, 0x59, 0xC3});
  qrv::fault::InstallFaultTranslator();
  const void* chain = HandlerChain();
  EXPECT_EQ(qrv::platform::CallForeign(add, 40, 2), 42);

  struct Case {
    ForeignCode::Function function;
    uint32_t code;
  };
  const Case cases[] = {{nullWrite, 0xC0000005u}, {divide, 0xC0000094u}, {nullCall, 0xC0000005u}};
  for (int round = 0; round < 50; ++round) {
    for (const Case& c : cases) {
      int guards = 0;
      const CKTBException error =
          Catch([&c] { qrv::platform::CallForeign(c.function, 0, 0); }, guards);
      EXPECT_EQ(error.exceptionRecord.code, c.code);
      EXPECT_EQ(guards, 1);
      EXPECT_EQ(HandlerChain(), chain) << "the call's frame left in the handler chain";
    }
  }
  // The thread goes on calling as before.
  EXPECT_EQ(qrv::platform::CallForeign(add, -5, 3), -2);
}

// Recursion that the optimiser cannot turn into a loop.
__attribute__((noinline)) int Recurse(volatile char* previous) {
  volatile char frame[512];
  if (previous == reinterpret_cast<volatile char*>(1)) return 0;  // never
  frame[0] = previous != nullptr ? previous[0] : 1;
  return Recurse(frame) + frame[1];
}

void Note(const char* path, const char* text) {
  if (FILE* file = std::fopen(path, "ab")) {
    std::fputs(text, file);
    std::fclose(file);
  }
}

// A stack overflow is not translated (see win32/structured_exception.cc):
// the process ends there, as it would without the plug-in; Windows gives it
// the overflow's code as exit code (Wine 8 gives 0).
TEST(Win32Faults, StackOverflowEndsTheProcessUntranslated) {
  if (const char* notes = std::getenv("QRV_OVERFLOW_CHILD")) {
    qrv::fault::InstallFaultTranslator();
    Note(notes, "started;");
    try {
      Recurse(nullptr);
    } catch (...) {
      Note(notes, "translated;");
    }
    Note(notes, "survived;");
    return;
  }
  wchar_t self[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  std::wstring command = L"\"" + std::wstring(self) +
                         L"\" --gtest_filter=Win32Faults.StackOverflowEndsTheProcessUntranslated";
  char notes[MAX_PATH];
  char folder[MAX_PATH];
  ASSERT_GT(GetTempPathA(MAX_PATH, folder), 0u);
  ASSERT_NE(GetTempFileNameA(folder, "qrv", 0, notes), 0u);
  ASSERT_TRUE(SetEnvironmentVariableA("QRV_OVERFLOW_CHILD", notes));
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(self, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                      nullptr, &startup, &process);
  SetEnvironmentVariableW(L"QRV_OVERFLOW_CHILD", nullptr);
  ASSERT_TRUE(started);
  ASSERT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  std::string seen;
  if (FILE* file = std::fopen(notes, "rb")) {
    char buffer[128] = {};
    seen.assign(buffer, std::fread(buffer, 1, sizeof(buffer) - 1, file));
    std::fclose(file);
  }
  DeleteFileA(notes);
  EXPECT_EQ(seen, "started;");
  const bool underWine =
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
  if (!underWine) {
    EXPECT_EQ(exitCode, 0xC00000FDu);
  }
}

// OutputDebugStringA raises DBG_PRINTEXCEPTION_C with the text's length and
// address: a vectored handler sees what a debugger would receive.
std::vector<std::string>* g_debugTexts = nullptr;

LONG CALLBACK CollectDebugText(EXCEPTION_POINTERS* info) {
  constexpr DWORD kDebugPrint = 0x40010006u;
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (record->ExceptionCode == kDebugPrint && record->NumberParameters >= 2 &&
      g_debugTexts != nullptr) {
    const auto length = static_cast<size_t>(record->ExceptionInformation[0]);
    const auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    g_debugTexts->emplace_back(text, length > 0 ? length - 1 : 0);
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

TEST(Win32DebugOutput, TextReachesOutputDebugStringAWithItsBytesUnchanged) {
  std::vector<std::string> texts;
  g_debugTexts = &texts;
  void* handler = AddVectoredExceptionHandler(1, CollectDebugText);
  ASSERT_NE(handler, nullptr);
  const char gbk[] = "\xD4\xA4\xC0\xC0\xBE\xE4\xB1\xFA 7\n";
  qrv::platform::OutputDebugText(gbk);
  qrv::platform::OutputDebugText("\xB4\xF2\xBF\xAA\xCE\xC4\xBC\xFE\xB4\xED\xCE\xF3");
  RemoveVectoredExceptionHandler(handler);
  g_debugTexts = nullptr;
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], std::string(gbk));
  EXPECT_EQ(texts[1], "\xB4\xF2\xBF\xAA\xCE\xC4\xBC\xFE\xB4\xED\xCE\xF3");
}

}  // namespace
