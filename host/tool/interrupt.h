// SIGINT and SIGTERM as a request to finish: the first one wakes every
// Interrupt::WaitFor so the running command stops its work, logs out and
// prints its summary; a second one ends the process at once (status 130).
//
// Threads: Install runs on the main thread before any other thread exists, so
// every later thread (the plug-in's included) inherits the blocked signals and
// only the tool's own waiting thread receives them. WaitFor and Requested may
// be called from any thread.
#pragma once

#include <chrono>

namespace qrv::host {

class Interrupt {
 public:
  // Blocks SIGINT and SIGTERM and starts the thread that waits for them.
  static void Install();
  // True once the first signal arrived.
  static bool Requested();
  // Waits up to `timeout`; true when a signal arrived (now or before).
  static bool WaitFor(std::chrono::milliseconds timeout);
  // The signal that arrived first, 0 when none did.
  static int Signal();
};

}  // namespace qrv::host
