// Bounded waiting for a condition, so tests never synchronise by sleeping.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace qrv::test {

// Checks pred until it holds or timeout has passed; returns the last result.
// Between checks it waits a short while on a private condition variable, so a
// slow machine only makes the test take longer, never fail by accident.
inline bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::mutex mutex;
  std::condition_variable never;
  std::unique_lock<std::mutex> lock(mutex);
  while (true) {
    if (pred()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return pred();
    const auto step =
        std::min<std::chrono::steady_clock::duration>(std::chrono::milliseconds(2), deadline - now);
    never.wait_for(lock, step);
  }
}

}  // namespace qrv::test
