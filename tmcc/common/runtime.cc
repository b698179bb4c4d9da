#include "tmcc/common/runtime.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qrv::tmcc {
namespace {

// How often the watcher looks; a callback seen running at two looks in a row
// holds its thread (so one is replaced after 2 to 4 ms).
constexpr std::chrono::milliseconds kWatchPeriod{2};
// Under load, wake-ups are coalesced: a thread that has run more than
// kBusyRate handlers per second over its last kRateWindow lets each round of
// work last at least kCoalesce, sleeping out the rest, so the ready sockets
// of many streams are served in one wake-up instead of one wake-up each
// (at 256 paced streams that is a fifth of the CPU). A handler then waits
// up to kCoalesce longer. Below that rate (control exchanges, a few
// streams) nothing is delayed.
constexpr std::chrono::microseconds kCoalesce{1000};
constexpr std::chrono::milliseconds kRateWindow{20};
constexpr uint64_t kBusyRate = 4000;

struct Worker {
  // Odd while a host callback runs on the thread; written by it only.
  std::atomic<uint64_t> calls{0};
  // Set by the watcher while the thread is held by one callback.
  std::atomic<bool> held{false};
  uint64_t seen = 0;    // watcher only
  bool retire = false;  // the thread's own
};

thread_local bool onLibraryThread = false;
thread_local Worker* currentWorker = nullptr;

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
    return {static_cast<int>(workers_.size()), added_, retired_};
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

  void Watch() {
    std::mutex idle;
    std::condition_variable never;
    std::unique_lock wait(idle);
    for (;;) {
      never.wait_for(wait, kWatchPeriod);
      std::lock_guard lock(mutex_);
      for (const auto& w : workers_) {
        const uint64_t calls = w->calls.load(std::memory_order_relaxed);
        w->held = (calls & 1) != 0 && calls == w->seen;
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
  if (currentWorker) currentWorker->calls.fetch_add(1, std::memory_order_relaxed);
}

HostCallScope::~HostCallScope() {
  Worker* w = currentWorker;
  if (!w) return;
  w->calls.fetch_add(1, std::memory_order_relaxed);
  if (w->held.load(std::memory_order_relaxed)) ThePool().MaybeRetire(*w);
}

PoolFigures IoPoolFigures() {
  return ThePool().Figures();
}

}  // namespace qrv::tmcc
