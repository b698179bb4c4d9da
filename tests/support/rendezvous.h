// A reusable meeting point for a fixed number of threads, on a mutex and a
// condition variable. MinGW's std::barrier (GCC 12) rests on the generic
// atomic wait, which can miss a wake-up where there is no futex: a test
// thread then sleeps for ever (seen under Wine). This one cannot.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace qrv::test {

class Rendezvous {
 public:
  explicit Rendezvous(int parties) : parties_(parties) {}

  // Returns when all parties of the current round have arrived.
  void ArriveAndWait() {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t round = round_;
    if (++arrived_ == parties_) {
      arrived_ = 0;
      ++round_;
      changed_.notify_all();
      return;
    }
    changed_.wait(lock, [&] { return round_ != round; });
  }

 private:
  const int parties_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int arrived_ = 0;
  uint64_t round_ = 0;
};

}  // namespace qrv::test
