#include "tests/fake_tmcc/library_thread.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace fake_tmcc::internal {
namespace {

struct Task {
  std::function<void()> work;
  bool done = false;
  std::exception_ptr error;
};

// Started on first use and never stopped: the thread idles on its condition
// variable until the process exits, so no exit-time join can hang.
class Worker {
 public:
  Worker() : thread_([this] { Loop(); }) {
    id_ = thread_.get_id();
    thread_.detach();
  }

  void RunAndWait(const std::function<void()>& work) {
    auto task = std::make_shared<Task>();
    task->work = work;
    std::unique_lock<std::mutex> lock(mutex_);
    queue_.push_back(task);
    changed_.notify_all();
    changed_.wait(lock, [&] { return task->done; });
    if (task->error) std::rethrow_exception(task->error);
  }

  bool IsWorker() const { return std::this_thread::get_id() == id_; }

 private:
  void Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      changed_.wait(lock, [&] { return !queue_.empty(); });
      auto task = queue_.front();
      queue_.pop_front();
      lock.unlock();
      try {
        task->work();
      } catch (...) {
        task->error = std::current_exception();
      }
      lock.lock();
      task->done = true;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Task>> queue_;
  std::thread thread_;
  std::thread::id id_;
};

Worker& GetWorker() {
  static Worker* worker = new Worker;
  return *worker;
}

}  // namespace

void RunOnLibraryThreadAndWait(const std::function<void()>& work) {
  Worker& worker = GetWorker();
  if (worker.IsWorker()) {
    work();
    return;
  }
  worker.RunAndWait(work);
}

bool OnLibraryThread() {
  return GetWorker().IsWorker();
}

}  // namespace fake_tmcc::internal
