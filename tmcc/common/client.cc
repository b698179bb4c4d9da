#include "tmcc/common/client.h"

#include <future>

#include "tmcc/common/runtime.h"

namespace qrv::tmcc {

Client::Client(int32_t kind) : strand_(asio::make_strand(IoContext())), kind_(kind) {}

void Client::RunOnStrand(std::function<void()> fn) {
  if (strand_.running_in_this_thread()) {
    fn();
    return;
  }
  if (OnLibraryThread()) {
    asio::post(strand_, std::move(fn));
    return;
  }
  std::promise<void> done;
  auto finished = done.get_future();
  asio::post(strand_, [&] {
    fn();
    done.set_value();
  });
  finished.wait();
}

}  // namespace qrv::tmcc
