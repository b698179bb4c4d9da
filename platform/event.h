// A manual-reset event: a pause that another thread can cut short.
#pragma once

#include <cstdint>
#if !defined(_WIN32)
#include <condition_variable>
#include <mutex>
#endif

namespace qrv::platform {

class ManualResetEvent {
 public:
#if defined(_WIN32)
  ManualResetEvent();
  ~ManualResetEvent();
  ManualResetEvent(const ManualResetEvent&) = delete;
  ManualResetEvent& operator=(const ManualResetEvent&) = delete;
#endif
  void Set();
  void Reset();
  bool IsSet();
  // Returns true when the event was set before timeoutMs passed.
  bool WaitFor(uint32_t timeoutMs);

 private:
#if defined(_WIN32)
  void* handle_;  // a Windows manual-reset event object
#else
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
#endif
};

}  // namespace qrv::platform
