#include "plugin/msvc/msvc_block.h"

#include <cstdint>
#include <cstring>

namespace qrv::plugin::msvc {

void* AllocateBlock(const platform::HostHeap& heap, size_t bytes) {
  if (bytes == 0) return nullptr;
  if (bytes < kBigBlockThreshold) return heap.allocate(bytes);
  if (bytes > SIZE_MAX - kBigBlockExtra) return nullptr;
  void* raw = heap.allocate(bytes + kBigBlockExtra);
  if (raw == nullptr) return nullptr;
  const uintptr_t user =
      (reinterpret_cast<uintptr_t>(raw) + kBigBlockExtra) & ~uintptr_t{kBigBlockAlignment - 1};
  std::memcpy(reinterpret_cast<void*>(user - sizeof(void*)), &raw, sizeof(raw));
  return reinterpret_cast<void*>(user);
}

void FreeBlock(const platform::HostHeap& heap, void* block, size_t bytes) {
  if (block == nullptr) return;
  if (bytes < kBigBlockThreshold) {
    heap.release(block);
    return;
  }
  void* raw = nullptr;
  std::memcpy(&raw, static_cast<char*>(block) - sizeof(void*), sizeof(raw));
  heap.release(raw);
}

}  // namespace qrv::plugin::msvc
