// The library's I/O threads: one io_context run by a small pool of threads.
// Every client's work runs there, serialised per client by a strand, and
// every callback the library makes runs on one of these threads, straight
// from the receive buffer.
//
// A host callback that blocks (or a recording write that stalls) must not
// hold up the other clients: while a host callback runs, a watcher looks at the pool every 2 ms,
// and while fewer than kIoThreads threads are free (not inside a host callback that has been
// running since its last look), it adds threads. With no callback running the watcher is parked
// (an idle process has nothing of the pool's waking it); the callback that starts wakes it. A
// thread that comes back from such a callback leaves the pool again when enough others are free.
// The blocked client's own strand waits meanwhile, so its connection is not read and TCP holds its
// device back.
//
// Under load (over 4000 handlers a second on a thread) a thread lets each round of work last at
// least 2 ms, so one wake-up serves the ready sockets of many streams; below that rate nothing is
// delayed (see runtime.cc).
#pragma once

#include <asio.hpp>
#include <cstdint>

namespace qrv::tmcc {

// Threads free to run work, at least. One: a second always-free thread
// costs a thread wake-up for many packets (about 1.4 times the CPU per byte
// at 256 streams), and the watcher replaces a held thread within a few
// milliseconds.
inline constexpr int kIoThreads = 1;
// Threads in all, at most (free ones and ones held by host callbacks).
inline constexpr int kMaxIoThreads = 512;

// The process-wide io_context, started on first use and kept for the life of
// the process (its threads end with the process).
// Threading: any thread; the first call starts the pool under a static-init lock.
asio::io_context& IoContext();

// True on the library's own I/O threads.
bool OnLibraryThread();

// Marks a host callback running on this thread for the watcher. Costs two
// updates of the thread's own counter and one load of the watcher's flag; no
// lock, no allocation. Only the callback that finds the watcher parked makes
// the (system) call that wakes it. On a thread that is not a pool thread it
// does nothing.
// Threading: pool threads (any other thread: nothing happens); no lock held
// or taken, except after a held callback, when the thread may leave the pool.
class HostCallScope {
 public:
  HostCallScope();
  ~HostCallScope();
  HostCallScope(const HostCallScope&) = delete;
  HostCallScope& operator=(const HostCallScope&) = delete;
};

// Figures of the pool, for tests and benchmarks.
struct PoolFigures {
  int threads = 0;       // in the pool now
  uint64_t added = 0;    // threads added because others were held by host callbacks
  uint64_t retired = 0;  // threads that left again
  uint64_t parks = 0;    // times the watcher parked, no host callback running
  bool parked = false;   // the watcher is parked now
};
// Threading: any thread; takes the pool's lock briefly.
PoolFigures IoPoolFigures();

}  // namespace qrv::tmcc
