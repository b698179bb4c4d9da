// The C runtime heap of the process that loaded the plug-in.
//
// A host hands the plug-in containers whose blocks its own runtime allocated
// and will free: what the plug-in frees of them, and what it allocates for
// the host to free, must go through that same heap, not the plug-in's.
//
// Any thread; no lock after the first call, which must not overlap another
// (the factory makes it, and the factory overlaps nothing).
#pragma once

#include <cstddef>

namespace qrv::platform {

struct HostHeap {
  void* (*allocate)(size_t bytes);  // null when out of memory
  void (*release)(void* block);     // null is ignored
  const char* name;                 // where the blocks come from, for diagnostics
};

// Windows: the malloc and free of the host's shared C runtime (ucrtbase.dll)
// when it is loaded, else the process heap, which the static runtime of the
// same releases allocates from. Elsewhere: this process's malloc and free.
const HostHeap& HostRuntimeHeap();

}  // namespace qrv::platform
