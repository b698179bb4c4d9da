#include "platform/thread.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace qrv::platform {

// Shared between the handle and the running thread, so a detached thread can
// finish after its handle is gone.
class ThreadState {
 public:
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  std::thread::id id;
  std::thread thread;
};

ThreadHandle StartThread(ThreadProc proc, void* arg) {
  auto state = std::make_shared<ThreadState>();
  try {
    std::unique_lock<std::mutex> lock(state->mutex);
    state->thread = std::thread([state, proc, arg] {
      proc(arg);
      std::lock_guard<std::mutex> guard(state->mutex);
      state->finished = true;
      state->done.notify_all();
    });
    state->id = state->thread.get_id();
  } catch (const std::system_error&) {
    return nullptr;
  }
  return state;
}

bool WaitThread(const ThreadHandle& thread, uint32_t timeoutMs) {
  if (!thread) return true;
  std::unique_lock<std::mutex> lock(thread->mutex);
  return thread->done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return thread->finished; });
}

void CloseThread(ThreadHandle& thread) {
  if (!thread) return;
  bool finished;
  {
    std::lock_guard<std::mutex> lock(thread->mutex);
    finished = thread->finished;
  }
  if (thread->thread.joinable()) {
    if (finished && thread->thread.get_id() != std::this_thread::get_id()) {
      thread->thread.join();
    } else {
      thread->thread.detach();
    }
  }
  thread.reset();
}

bool IsCurrentThread(const ThreadHandle& thread) {
  if (!thread) return false;
  std::lock_guard<std::mutex> lock(thread->mutex);
  return thread->id == std::this_thread::get_id();
}

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace qrv::platform
