// What the Visual Studio test hosts share: the few Windows functions they
// call, a check that counts, loading the plug-in, and a probe that calls one
// slot with raw stack arguments and measures how many bytes it removed.
// Built by clang in MSVC mode with the Microsoft STL (see the README of the
// MSVC-ABI toolchain), like any 32-bit Visual Studio host.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qrvaccess/qrv_access.h"

extern "C" {
__declspec(dllimport) void* __stdcall LoadLibraryA(const char* name);
__declspec(dllimport) void* __stdcall GetModuleHandleA(const char* name);
__declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);
__declspec(dllimport) int __stdcall FreeLibrary(void* module);
__declspec(dllimport) unsigned long __stdcall GetLastError(void);
__declspec(dllimport) void __stdcall Sleep(unsigned long milliseconds);
__declspec(dllimport) unsigned long __stdcall GetTickCount(void);
__declspec(dllimport) void* __stdcall GetProcessHeap(void);
__declspec(dllimport) void* __stdcall HeapAlloc(void* heap, unsigned long flags, size_t bytes);
__declspec(dllimport) int __stdcall HeapValidate(void* heap, unsigned long flags,
                                                 const void* block);
__declspec(dllimport) const char* __stdcall GetCommandLineA(void);
_ACRTIMP int __cdecl _heapchk(void);
_ACRTIMP intptr_t __cdecl _get_heap_handle(void);
}

namespace host {

inline int g_passed = 0;
inline int g_failed = 0;

inline bool Check(bool ok, const char* what, int line) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    std::printf("CHECK FAILED (line %d): %s\n", line, what);
  }
  return ok;
}
#define HOST_CHECK(condition) ::host::Check((condition), #condition, __LINE__)

// The closing line, and the exit status: 0 only when every check passed and
// both heaps are whole.
inline int Finish() {
  void* crtHeap = reinterpret_cast<void*>(_get_heap_handle());
  HOST_CHECK(_heapchk() == -2);  // _HEAPOK
  HOST_CHECK(HeapValidate(crtHeap, 0, nullptr) != 0);
  HOST_CHECK(HeapValidate(GetProcessHeap(), 0, nullptr) != 0);
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  std::fflush(stdout);
  return g_failed == 0 ? 0 : 1;
}

// The plug-in beside this program (its device library beside it too).
inline ModuleInstanceFunction LoadPlugin(void** module) {
  *module = LoadLibraryA("qrvaccess.dll");
  if (*module == nullptr) {
    std::printf("qrvaccess.dll did not load (error %lu)\n", GetLastError());
    return nullptr;
  }
  return reinterpret_cast<ModuleInstanceFunction>(GetProcAddress(*module, "ModuleInstance"));
}

// The program's arguments after its name (the start-up code of these hosts
// passes main none), split at blanks, double quotes grouping.
inline std::vector<std::string> Arguments() {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, any = false;
  for (const char* c = GetCommandLineA(); *c != '\0'; ++c) {
    if (*c == '"') {
      quoted = !quoted;
      any = true;
    } else if ((*c == ' ' || *c == '\t') && !quoted) {
      if (any) words.push_back(word);
      word.clear();
      any = false;
    } else {
      word += *c;
      any = true;
    }
  }
  if (any) words.push_back(word);
  if (!words.empty()) words.erase(words.begin());
  return words;
}

inline bool WaitUntil(bool (*done)(), unsigned long timeoutMs) {
  const unsigned long start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(10);
  }
  return true;
}

}  // namespace host

// Copies `bytes` bytes of arguments onto the stack (touching each page on the
// way down, as the stack grows only through its guard page), calls `function`
// with `self` in ECX, and returns how many bytes of the stack the callee
// removed. EAX of the call is left in probe_result.
extern "C" uint32_t probe_result;
extern "C" uint32_t __cdecl probe_call(void* self, const void* function, const void* arguments,
                                       uint32_t bytes);
