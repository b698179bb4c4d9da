// Shows the plug-in's debugger messages (GBK text) in UTF-8: points
// QRV_DEBUG_OUTPUT at a pipe before the plug-in is loaded and prints each line
// that arrives, decoded, through a function of the caller's choice.
//
// Threads: Start and Stop on the owner's thread; the print function runs on
// the relay's own reader thread. Stop after the plug-in is unloaded (it closes
// the pipe and waits for the reader to drain it).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace qrv::host {

// GBK bytes as UTF-8; a byte that is not GBK becomes "\xNN".
std::string GbkToUtf8(std::string_view gbk);

class DebugRelay {
 public:
  using Print = std::function<void(const std::string& utf8Line)>;

  DebugRelay() = default;
  ~DebugRelay() { Stop(); }
  DebugRelay(const DebugRelay&) = delete;
  DebugRelay& operator=(const DebugRelay&) = delete;

  // Returns false (and changes nothing) when no pipe can be made.
  bool Start(Print print);
  void Stop();
  // Returns once every line written before the call has been printed, or
  // after `bound` (false). The plug-in writes its messages before its call
  // returns, so after a failed call its reason has been printed too.
  // Threading: the owner's thread, between Start and Stop.
  bool Sync(std::chrono::milliseconds bound);

 private:
  int writeEnd_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable synced_;
  uint64_t syncSent_ = 0;  // owner's thread
  uint64_t syncSeen_ = 0;  // guarded by mutex_
};

}  // namespace qrv::host
