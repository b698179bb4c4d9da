#include "tmcc/common/receive_batch.h"

namespace qrv::tmcc::connection {
namespace {

thread_local ReceiveBatchEnd t_end = nullptr;

}  // namespace

void SetReceiveBatchEnd(ReceiveBatchEnd end) {
  t_end = end;
}

void EndReceiveBatch() {
  const ReceiveBatchEnd end = t_end;
  if (end == nullptr) return;
  t_end = nullptr;  // cleared first: the end function may start work of its own
  end();
}

}  // namespace qrv::tmcc::connection
