// Memory blocks as a Visual Studio host's std::allocator hands them out.
//
// Small blocks come straight from the host's C runtime. A block of 4096 bytes
// or more is over-allocated by sizeof(void*) + 31 bytes; the address handed
// out is the first multiple of 32 past the room for one pointer, and that
// pointer, just before it, holds the address the runtime returned:
//
//   raw block:  [ slack ... | raw address (one pointer) | user bytes ... ]
//                                                      ^ aligned to 32
//
// The host frees such a block by reading the raw address back, so a block the
// plug-in makes for the host (and one it frees for the host) must follow the
// same rule, decided by the byte count alone.
// Pure functions over the given heap; any thread.
#pragma once

#include <cstddef>

#include "platform/host_heap.h"

namespace qrv::plugin::msvc {

inline constexpr size_t kBigBlockThreshold = 4096;
inline constexpr size_t kBigBlockAlignment = 32;
inline constexpr size_t kBigBlockExtra = sizeof(void*) + kBigBlockAlignment - 1;

// `bytes` usable bytes, or null when the heap has none (or bytes is absurd).
void* AllocateBlock(const platform::HostHeap& heap, size_t bytes);
// Frees a block of `bytes` bytes made by AllocateBlock or by the host's
// allocator; null is ignored.
void FreeBlock(const platform::HostHeap& heap, void* block, size_t bytes);

}  // namespace qrv::plugin::msvc
