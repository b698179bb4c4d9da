// Tracks the callbacks running for one client so that stopping the client can
// wait for them: after Close() returns, every callback that was running has
// returned and no new one starts. Close() called from inside one of the
// client's own callbacks does not wait for that callback (it is the caller).
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tmcc/common/runtime.h"

namespace qrv::tmcc {

class CallbackGate {
 public:
  // Threading: library threads; takes the gate's mutex briefly, never while a
  // callback runs. Runs f and returns true unless the gate is closed.
  template <typename F>
  bool Invoke(F&& f) {
    if (!Enter()) return false;
    struct Leaver {
      CallbackGate* gate;
      ~Leaver() { gate->Leave(); }
    } leaver{this};
    HostCallScope scope;  // a callback that stays makes the pool add a thread
    f();
    return true;
  }

  // Threading: any thread; waits (without holding anything the callbacks
  // need) until no callback of this gate runs on another thread.
  void Close();

  // Lock-free: cheap enough for a check per packet inside an entered run.
  bool closed() const;

  // Counts this thread as running a callback until Leave(), for a batch of
  // calls made under one entry. False, and nothing counted, once closed.
  // Threading: library threads; the mutex is taken briefly.
  bool Enter();
  void Leave();

 private:
  std::mutex mutex_;
  std::condition_variable idle_;
  std::atomic<bool> closed_{false};  // set once, under the mutex
  std::vector<std::thread::id> runners_;
};

}  // namespace qrv::tmcc
