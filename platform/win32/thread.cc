// Win32 backend: CreateThread, WaitForSingleObject, CloseHandle, Sleep. A
// thread is never terminated: closing its handle lets it run on, and the
// thread releases its own state when its procedure returns.
#include "platform/thread.h"

#include <windows.h>

#include <new>

namespace qrv::platform {

class ThreadState {
 public:
  HANDLE handle = nullptr;
  DWORD id = 0;
};

namespace {

struct StartBlock {
  ThreadProc proc;
  void* arg;
  ThreadHandle keepAlive;  // the state lives at least as long as the thread
};

DWORD WINAPI ThreadMain(void* raw) {
  auto* start = static_cast<StartBlock*>(raw);
  const DWORD result = start->proc(start->arg);
  delete start;
  return result;
}

}  // namespace

ThreadHandle StartThread(ThreadProc proc, void* arg) {
  ThreadHandle state;
  StartBlock* start = nullptr;
  try {
    state = std::make_shared<ThreadState>();
    start = new StartBlock{proc, arg, state};
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  // Created suspended so the handle and id are stored before the thread can
  // look at them (IsCurrentThread from inside the procedure).
  DWORD id = 0;
  HANDLE handle = CreateThread(nullptr, 0, ThreadMain, start, CREATE_SUSPENDED, &id);
  if (handle == nullptr) {
    delete start;
    return nullptr;
  }
  state->handle = handle;
  state->id = id;
  ResumeThread(handle);
  return state;
}

bool WaitThread(const ThreadHandle& thread, uint32_t timeoutMs) {
  if (!thread || thread->handle == nullptr) return true;
  return WaitForSingleObject(thread->handle, timeoutMs) == WAIT_OBJECT_0;
}

void CloseThread(ThreadHandle& thread) {
  if (!thread) return;
  if (thread->handle != nullptr) {
    CloseHandle(thread->handle);
    thread->handle = nullptr;
  }
  thread.reset();
}

bool IsCurrentThread(const ThreadHandle& thread) {
  return thread && thread->id == GetCurrentThreadId();
}

void SleepMs(uint32_t ms) {
  Sleep(ms);
}

}  // namespace qrv::platform
