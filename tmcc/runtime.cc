#include "tmcc/runtime.h"

#include <thread>
#include <vector>

namespace qrv::tmcc {
namespace {

thread_local bool onLibraryThread = false;

struct Runtime {
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  std::vector<std::thread> threads;

  Runtime() {
    for (int i = 0; i < kIoThreads; ++i) {
      threads.emplace_back([this] {
        onLibraryThread = true;
        io.run();
      });
      // The pool lives as long as the process: joining it from a static
      // destructor could run while a library thread is inside a host callback.
      threads.back().detach();
    }
  }
};

}  // namespace

bool OnLibraryThread() {
  return onLibraryThread;
}

asio::io_context& IoContext() {
  static Runtime* runtime = new Runtime();
  return runtime->io;
}

}  // namespace qrv::tmcc
