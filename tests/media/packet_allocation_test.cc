// The per-packet path allocates nothing: frames and headers of ordinary size,
// delivered and recorded. Counts C++ allocations made on this thread.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "media_test_support.h"

namespace {
thread_local bool tCounting = false;
thread_local int tAllocations = 0;
}  // namespace

// The replacement pair below is matched (malloc/free); GCC cannot see that.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  if (tCounting) ++tAllocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace qrv::test {
namespace {

int32_t QRV_CALLBACK Ignore(int32_t, const uint8_t*, uint32_t, StreamFrameInfo, uintptr_t) {
  return 0;
}

class PacketAllocationTest : public MediaTest {};

TEST_F(PacketAllocationTest, DeliveryCachingAndRecordingDoNotAllocate) {
  const int32_t slot = 30;
  const int32_t handle = OpenStream(slot);
  ASSERT_EQ(media::RegisterStreamDataCallback(slot, &Ignore, 0), 0);
  const std::string file = dir_.File("alloc.264");
  media::StartRecording(file, slot);

  Bytes header = Pattern(1, 40), other = Pattern(2, 44), frame = Pattern(3, 4096);
  auto first = MakePacket(devicelib::kFrameHeader, header);
  auto changed = MakePacket(devicelib::kFrameHeader, other);
  auto key = MakePacket(devicelib::kFrameVideo, frame, 1);
  auto inter = MakePacket(devicelib::kFrameVideo, frame, 0);
  auto aux = MakePacket(devicelib::kFrameAuxData, frame);
  void* context = reinterpret_cast<void*>(intptr_t{slot});

  tAllocations = 0;
  tCounting = true;
  for (int i = 0; i < 50; ++i) {
    media::StreamPacketCallback(handle, &first, context);
    media::StreamPacketCallback(handle, &key, context);
    media::StreamPacketCallback(handle, &inter, context);
    media::StreamPacketCallback(handle, &aux, context);
    media::StreamPacketCallback(handle, &changed, context);
    media::StreamPacketCallback(handle, &inter, context);
  }
  tCounting = false;
  EXPECT_EQ(tAllocations, 0);
  EXPECT_GT(device::Slot(slot).recordedBytes.load(), 50 * 4096);
  media::StopRecording(slot);
}

}  // namespace
}  // namespace qrv::test
