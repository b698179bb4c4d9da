// std::string as a Visual Studio 2015-2022 host lays it out (release runtime):
//
//   32-bit offset  width  field
//   0              16     text (capacity 15, NUL-terminated) or a pointer to it
//   16             4      size
//   20             4      capacity; the text is on the heap from 16 on, in a
//                         block of capacity + 1 bytes (see msvc_block.h)
//
// Holds no pointer to itself, so its bytes may be moved as they stand (a host
// builds a by-value argument in place and the callee owns it there).
// Pure functions over the given heap; any thread, one string per thread.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/host_heap.h"

namespace qrv::plugin::msvc {

struct MsvcString {
  union {
    char inside[16];
    char* heap;
  } text;
  size_t size;
  size_t capacity;
};
inline constexpr size_t kInsideCapacity = 15;
#if defined(__i386__)
static_assert(sizeof(MsvcString) == 24);
#endif

// An empty string that owns nothing.
void InitEmpty(MsvcString& string);
std::string_view View(const MsvcString& string);
// Replaces the text (any bytes, NUL included). False, with the string as it
// was, when the heap has no room.
bool Assign(MsvcString& string, std::string_view text, const platform::HostHeap& heap);
// Frees what the string owns and leaves it empty.
void Destroy(MsvcString& string, const platform::HostHeap& heap);

}  // namespace qrv::plugin::msvc
