// Win32 backend: the host's C runtime heap.
//
// A host built with Visual Studio 2015 or later and the shared runtime (/MD)
// allocates through ucrtbase.dll's malloc; one that linked the runtime
// statically (/MT) has its own copy of that runtime, whose heap is the process
// heap. Windows' own ucrtbase.dll allocates from the process heap too, so on
// Windows both paths meet one heap; under Wine ucrtbase.dll keeps a heap of
// its own, which only its own free accepts.
#include "platform/host_heap.h"

#include <windows.h>

namespace qrv::platform {

namespace {

void* ProcessHeapAllocate(size_t bytes) {
  return HeapAlloc(GetProcessHeap(), 0, bytes);
}

void ProcessHeapRelease(void* block) {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

HostHeap FindHostHeap() {
  // Not loaded: a static-runtime host; GetModuleHandle takes no reference.
  if (HMODULE crt = GetModuleHandleA("ucrtbase.dll")) {
    auto allocate =
        reinterpret_cast<void* (*)(size_t)>(reinterpret_cast<void*>(GetProcAddress(crt, "malloc")));
    auto release =
        reinterpret_cast<void (*)(void*)>(reinterpret_cast<void*>(GetProcAddress(crt, "free")));
    if (allocate != nullptr && release != nullptr) return {allocate, release, "ucrtbase.dll"};
  }
  return {&ProcessHeapAllocate, &ProcessHeapRelease, "process heap"};
}

}  // namespace

const HostHeap& HostRuntimeHeap() {
  static const HostHeap heap = FindHostHeap();
  return heap;
}

}  // namespace qrv::platform
