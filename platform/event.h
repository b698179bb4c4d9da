// A manual-reset event: a pause that another thread can cut short.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace qrv::platform {

class ManualResetEvent {
 public:
  void Set();
  void Reset();
  bool IsSet();
  // Returns true when the event was set before timeoutMs passed.
  bool WaitFor(uint32_t timeoutMs);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

}  // namespace qrv::platform
