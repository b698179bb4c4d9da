// One host callback with its context and the gate that lets stopping wait for
// it: after Close() returns, no call through the slot runs (other than one on
// the closing thread itself) and none starts until the slot is opened again.
#pragma once

#include <memory>
#include <mutex>

#include "tmcc/common/callback_gate.h"

namespace qrv::tmcc {

template <typename Fn>
class CallbackSlot {
 public:
  // Threading: any thread; takes the slot's mutex briefly.
  void Set(Fn fn, void* context) {
    std::lock_guard lock(mutex_);
    fn_ = fn;
    context_ = context;
  }

  // Starts a new run of calls (a listener started, a stream opened). False,
  // and nothing changed, while a run is open. Threading: any thread.
  bool Open() {
    std::lock_guard lock(mutex_);
    if (gate_ && !gate_->closed()) return false;
    gate_ = std::make_shared<CallbackGate>();
    return true;
  }

  // Ends the run; waits for running calls on other threads, never for the
  // caller's own. Threading: any thread; holds no lock while waiting.
  void Close() {
    std::shared_ptr<CallbackGate> gate;
    {
      std::lock_guard lock(mutex_);
      gate = gate_;
    }
    if (gate) gate->Close();
  }

  // Calls fn(args..., context) unless no callback is set or the run is
  // closed. Threading: library threads; the call runs without the mutex.
  template <typename... Args>
  bool Invoke(Args... args) {
    Fn fn;
    void* context;
    std::shared_ptr<CallbackGate> gate;
    {
      std::lock_guard lock(mutex_);
      fn = fn_;
      context = context_;
      gate = gate_;
    }
    if (fn == nullptr || !gate) return false;
    return gate->Invoke([&] { fn(args..., context); });
  }

  // The callback, its context and the run's gate, entered once for a batch
  // of calls (see CallbackGate::Enter); the caller leaves the gate when the
  // batch ends. False when no callback is set or the run is closed.
  // Threading: library threads; takes the mutex briefly.
  struct Entry {
    Fn fn = nullptr;
    void* context = nullptr;
    std::shared_ptr<CallbackGate> gate;
  };
  bool Enter(Entry& entry) {
    {
      std::lock_guard lock(mutex_);
      entry.fn = fn_;
      entry.context = context_;
      entry.gate = gate_;
    }
    if (entry.fn == nullptr || !entry.gate || !entry.gate->Enter()) {
      entry = {};
      return false;
    }
    return true;
  }

 private:
  std::mutex mutex_;
  Fn fn_ = nullptr;
  void* context_ = nullptr;
  std::shared_ptr<CallbackGate> gate_;
};

}  // namespace qrv::tmcc
