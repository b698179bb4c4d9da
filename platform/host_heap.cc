// POSIX: a host shares the plug-in's C library, so its heap is ours.
#include "platform/host_heap.h"

#include <cstdlib>

namespace qrv::platform {

const HostHeap& HostRuntimeHeap() {
  static const HostHeap heap{&std::malloc, &std::free, "malloc"};
  return heap;
}

}  // namespace qrv::platform
