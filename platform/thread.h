// Threads, waits with a time-out and sleeping: the Windows thread facilities
// the plug-in uses (_beginthreadex, WaitForSingleObject, CloseHandle, Sleep).
//
// A thread is never ended forcibly: when a wait times out the caller detaches
// the thread with CloseThread, and the thread finishes on its own.
#pragma once

#include <cstdint>
#include <memory>

namespace qrv::platform {

using ThreadProc = uint32_t (*)(void* arg);

class ThreadState;

// Owning handle of a started thread. Null when no thread runs.
using ThreadHandle = std::shared_ptr<ThreadState>;

// Starts proc(arg) on a new thread, running at once. Returns null when no
// thread could be started.
ThreadHandle StartThread(ThreadProc proc, void* arg);

// Waits until the thread has ended or timeoutMs has passed. Returns true when
// the thread has ended. Must not be called from the thread itself.
bool WaitThread(const ThreadHandle& thread, uint32_t timeoutMs);

// Gives up the handle. A thread that has not ended goes on running detached
// and releases its own state when it returns.
void CloseThread(ThreadHandle& thread);

// True when called on the thread that the handle stands for.
bool IsCurrentThread(const ThreadHandle& thread);

void SleepMs(uint32_t ms);

}  // namespace qrv::platform
