#include "plugin/msvc/msvc_string.h"

#include <algorithm>
#include <cstring>

#include "plugin/msvc/msvc_block.h"

namespace qrv::plugin::msvc {

namespace {

bool OnHeap(const MsvcString& string) {
  return string.capacity > kInsideCapacity;
}

// The host's growth rule: the size with its low four bits set, at least half
// as much again as the old capacity.
size_t Grown(size_t size, size_t oldCapacity) {
  return std::max(size | kInsideCapacity, oldCapacity + oldCapacity / 2);
}

// Texts beyond this would overflow the host's own size arithmetic.
constexpr size_t kLargestText = (SIZE_MAX >> 1) - kBigBlockExtra - 1;

}  // namespace

void InitEmpty(MsvcString& string) {
  std::memset(&string, 0, sizeof(string));
  string.capacity = kInsideCapacity;
}

std::string_view View(const MsvcString& string) {
  return {OnHeap(string) ? string.text.heap : string.text.inside, string.size};
}

bool Assign(MsvcString& string, std::string_view text, const platform::HostHeap& heap) {
  if (text.size() <= string.capacity) {
    char* data = OnHeap(string) ? string.text.heap : string.text.inside;
    std::memmove(data, text.data(), text.size());
    data[text.size()] = '\0';
    string.size = text.size();
    return true;
  }
  if (text.size() > kLargestText) return false;
  const size_t capacity = Grown(text.size(), string.capacity);
  auto* data = static_cast<char*>(AllocateBlock(heap, capacity + 1));
  if (data == nullptr) return false;
  std::memcpy(data, text.data(), text.size());
  data[text.size()] = '\0';
  if (OnHeap(string)) FreeBlock(heap, string.text.heap, string.capacity + 1);
  string.text.heap = data;
  string.size = text.size();
  string.capacity = capacity;
  return true;
}

void Destroy(MsvcString& string, const platform::HostHeap& heap) {
  if (OnHeap(string)) FreeBlock(heap, string.text.heap, string.capacity + 1);
  InitEmpty(string);
}

}  // namespace qrv::plugin::msvc
