// SIGINT and SIGTERM as a request to finish: the first one wakes every
// Interrupt::WaitFor so the running command stops its work, logs out and
// prints its summary; a second one ends the process at once (status 130).
//
// Threads: Install runs once on the main thread before the plug-in is
// loaded. The handler may run on any thread; it only touches atomics and
// writes to a pipe and to standard output/error (async-signal-safe).
// WaitFor and Requested may be called from any thread.
#pragma once

#include <chrono>

namespace qrv::host {

class Interrupt {
 public:
  // Installs the handler for SIGINT and SIGTERM.
  static void Install();
  // True once the first signal arrived.
  static bool Requested();
  // Waits up to `timeout`; true when a signal arrived (now or before).
  static bool WaitFor(std::chrono::milliseconds timeout);
  // The signal that arrived first, 0 when none did.
  static int Signal();
};

}  // namespace qrv::host
