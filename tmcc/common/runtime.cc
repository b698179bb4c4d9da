#include "tmcc/common/runtime.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace qrv::tmcc {
namespace {

// How often the watcher looks while a host callback runs; a callback seen
// running at two looks in a row holds its thread (so one is replaced after 2
// to 4 ms; 2 ms when the watcher was parked, as the callback that woke it is
// the one first seen). With no callback running the watcher is parked and
// costs nothing.
constexpr std::chrono::milliseconds kWatchPeriod{2};
// Under load, wake-ups are coalesced: a thread that has run more than
// kBusyRate handlers per second over its last kRateWindow lets each round of
// work last at least kCoalesce, sleeping out the rest, so the ready sockets
// of many streams are served in one wake-up instead of one wake-up each
// (at 256 paced streams that is a fifth of the CPU). A handler then waits
// up to kCoalesce longer. Below that rate (control exchanges, a few
// streams) nothing is delayed. 2 ms against 1 ms: about a tenth less CPU
// per byte at 256 streams, the median callback delay 0.5 ms longer.
constexpr std::chrono::microseconds kCoalesce{2000};
constexpr std::chrono::milliseconds kRateWindow{20};
constexpr uint64_t kBusyRate = 4000;

struct Worker {
  // Odd while a host callback runs on the thread; written by it only.
  std::atomic<uint64_t> calls{0};
  // Set by the watcher when the thread is held by one callback, cleared by
  // the thread itself once that callback returned (MaybeRetire).
  std::atomic<bool> held{false};
  uint64_t seen = 0;    // watcher only
  bool retire = false;  // the thread's own
};

thread_local bool onLibraryThread = false;
thread_local Worker* currentWorker = nullptr;

// 1 while the watcher waits for a host callback to start. Together with
// Worker::calls it is a Dekker handshake: a callback makes its count odd,
// then loads this; the watcher stores 1 here, then loads every count. Both
// sides use sequentially consistent operations, so at least one sees the
// other: the watcher never sleeps through a callback that has begun.
std::atomic<uint32_t> watcherParked{0};

// Sleeps while the flag is 1. On Linux a plain futex wait: the standard
// library's wait spins and yields first (four system calls per park), which
// a watcher parking after every isolated callback cannot afford.
void SleepWhileParked() {
#if defined(__linux__)
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
  while (watcherParked.load() == 1) {
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&watcherParked), FUTEX_WAIT_PRIVATE, 1,
              nullptr, nullptr, 0);
  }
#else
  watcherParked.wait(1);
#endif
}

// The thread that starts a callback while the watcher is parked: exactly one
// such thread makes the wake-up call.
void WakeWatcher() {
  if (watcherParked.exchange(0) != 1) return;
#if defined(__linux__)
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&watcherParked), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
#else
  watcherParked.notify_one();
#endif
}

class Pool {
 public:
  Pool() {
    std::lock_guard lock(mutex_);
    for (int i = 0; i < kIoThreads; ++i) AddLocked();
    // The pool lives as long as the process: joining it from a static
    // destructor could run while a library thread is inside a host callback.
    std::thread([this] { Watch(); }).detach();
  }

  asio::io_context& io() { return io_; }

  // On a worker, after a held callback returned: leave if enough are free.
  void MaybeRetire(Worker& w) {
    std::lock_guard lock(mutex_);
    w.held = false;
    if (FreeLocked() > kIoThreads) w.retire = true;
  }

  PoolFigures Figures() {
    std::lock_guard lock(mutex_);
    return {static_cast<int>(workers_.size()), added_, retired_, parks_, watcherParked.load() == 1};
  }

 private:
  void AddLocked() {
    auto worker = std::make_shared<Worker>();
    workers_.push_back(worker);
    std::thread([this, worker] { Run(worker); }).detach();
  }

  int FreeLocked() const {
    int free = 0;
    for (const auto& w : workers_) free += !w->held && !w->retire;
    return free;
  }

  void Run(const std::shared_ptr<Worker>& worker) {
    onLibraryThread = true;
    currentWorker = worker.get();
    using Clock = std::chrono::steady_clock;
    auto windowStart = Clock::now();
    uint64_t handlers = 0;
    bool coalesce = false;
    while (!worker->retire) {
      const auto begun = Clock::now();
      size_t ran = io_.run_one();
      if (ran == 0) continue;
      ran += io_.poll();
      const auto done = Clock::now();
      handlers += ran;
      if (const auto window = done - windowStart; window >= kRateWindow) {
        coalesce =
            handlers *
                std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)).count() >=
            kBusyRate * static_cast<uint64_t>(window.count());
        handlers = 0;
        windowStart = done;
      }
      if (coalesce && done - begun < kCoalesce)
        std::this_thread::sleep_for(kCoalesce - (done - begun));
    }
    std::lock_guard lock(mutex_);
    std::erase(workers_, worker);
    ++retired_;
  }

  // A worker inside a host callback, seen with sequentially consistent loads
  // (the watcher's half of the handshake with HostCallScope).
  bool AnyCallbackRunning() {
    std::lock_guard lock(mutex_);
    for (const auto& w : workers_)
      if ((w->calls.load() & 1) != 0) return true;
    return false;
  }

  // Parks until a host callback starts; returns at once when one runs.
  void ParkWhileNoCallback() {
    if (AnyCallbackRunning()) return;
    watcherParked.store(1);
    if (AnyCallbackRunning()) {
      watcherParked.store(0);
      return;
    }
    {
      std::lock_guard lock(mutex_);
      ++parks_;
    }
    SleepWhileParked();
    // The callback that woke us counts as seen now, so it is found holding
    // its thread at the first look, a period from now.
    std::lock_guard lock(mutex_);
    for (const auto& w : workers_) w->seen = w->calls.load(std::memory_order_relaxed);
  }

  void Watch() {
    for (;;) {
      ParkWhileNoCallback();
      std::this_thread::sleep_for(kWatchPeriod);
      std::lock_guard lock(mutex_);
      for (const auto& w : workers_) {
        const uint64_t calls = w->calls.load(std::memory_order_relaxed);
        if ((calls & 1) != 0 && calls == w->seen) {
          // The thread counts the callback's end, then looks at held; here
          // held is set, then the count looked at again (all sequentially
          // consistent). A callback that ended meanwhile either sees held and
          // retires through MaybeRetire, or is seen here and not taken as held.
          w->held.store(true);
          if (w->calls.load() != calls) w->held.store(false);
        }
        w->seen = calls;
      }
      for (int free = FreeLocked();
           free < kIoThreads && static_cast<int>(workers_.size()) < kMaxIoThreads; ++free) {
        AddLocked();
        ++added_;
      }
    }
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_{io_.get_executor()};
  std::mutex mutex_;
  std::vector<std::shared_ptr<Worker>> workers_;  // guarded by mutex_
  uint64_t added_ = 0;                            // guarded by mutex_
  uint64_t retired_ = 0;                          // guarded by mutex_
  uint64_t parks_ = 0;                            // guarded by mutex_
};

Pool& ThePool() {
  static Pool* pool = new Pool();
  return *pool;
}

}  // namespace

bool OnLibraryThread() {
  return onLibraryThread;
}

asio::io_context& IoContext() {
  return ThePool().io();
}

HostCallScope::HostCallScope() {
  Worker* w = currentWorker;
  if (!w) return;
  // Count first, then look (sequentially consistent both): see watcherParked.
  // With the watcher awake this costs the count and one load.
  w->calls.fetch_add(1);
  if (watcherParked.load() == 1) WakeWatcher();
}

HostCallScope::~HostCallScope() {
  Worker* w = currentWorker;
  if (!w) return;
  w->calls.fetch_add(1);
  if (w->held.load()) ThePool().MaybeRetire(*w);
}

PoolFigures IoPoolFigures() {
  return ThePool().Figures();
}

}  // namespace qrv::tmcc
