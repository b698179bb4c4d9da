#include "tmcc/common/callback_gate.h"

#include <algorithm>

namespace qrv::tmcc {

bool CallbackGate::Enter() {
  std::lock_guard lock(mutex_);
  // Under the mutex, so a Close() that set the flag sees this runner.
  if (closed_.load(std::memory_order_relaxed)) return false;
  runners_.push_back(std::this_thread::get_id());
  return true;
}

void CallbackGate::Leave() {
  std::lock_guard lock(mutex_);
  auto it = std::find(runners_.begin(), runners_.end(), std::this_thread::get_id());
  if (it != runners_.end()) runners_.erase(it);
  idle_.notify_all();
}

void CallbackGate::Close() {
  std::unique_lock lock(mutex_);
  closed_.store(true, std::memory_order_release);
  const auto self = std::this_thread::get_id();
  idle_.wait(lock, [&] {
    return std::all_of(runners_.begin(), runners_.end(), [&](auto id) { return id == self; });
  });
}

bool CallbackGate::closed() const {
  return closed_.load(std::memory_order_acquire);
}

}  // namespace qrv::tmcc
