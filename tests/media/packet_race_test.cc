// Host-side release, stop and close racing a library thread that keeps
// delivering packets; run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <thread>

#include "media_test_support.h"
#include "support/wait.h"

namespace qrv::test {
namespace {

using devicelib::kFrameHeader;
using devicelib::kFrameVideo;

constexpr int kIterations = 2000;

// Waits (yielding, bounded) until counter has moved past start.
bool WaitForProgress(const std::atomic<uint64_t>& counter, uint64_t start) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (counter.load() <= start) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// Fires packets of whatever handle is current from a test thread (each one
// hops to the double's library thread): a header every fourth packet, key
// frames otherwise, so every recording is header + whole frames.
class Firer {
 public:
  Firer() : thread_([this] { Run(); }) {}
  ~Firer() {
    stop_.store(true);
    thread_.join();
  }
  void Aim(int32_t handle) { handle_.store(handle); }
  const std::atomic<uint64_t>& Fired() const { return fired_; }

  static const Bytes& Header() {
    static const Bytes header = Pattern(0xE0, 29);
    return header;
  }
  static const Bytes& Frame() {
    static const Bytes frame = Pattern(0x01, 1000);
    return frame;
  }

 private:
  void Run() {
    Bytes header = Header(), frame = Frame();
    for (uint64_t n = 0; !stop_.load(); ++n) {
      const int32_t handle = handle_.load();
      if (handle <= 0) {
        std::this_thread::yield();
        continue;
      }
      auto packet =
          n % 4 == 0 ? MakePacket(kFrameHeader, header) : MakePacket(kFrameVideo, frame, 1);
      fake_tmcc::FireStreamPacket(handle, &packet);
      fired_.fetch_add(1);
    }
  }

  std::atomic<bool> stop_{false};
  std::atomic<int32_t> handle_{0};
  std::atomic<uint64_t> fired_{0};
  std::thread thread_;
};

// The file is empty, or the header followed by whole frames.
::testing::AssertionResult WellFormed(const Bytes& file) {
  if (file.empty()) return ::testing::AssertionSuccess();
  const Bytes& header = Firer::Header();
  if (file.size() < header.size() || !std::equal(header.begin(), header.end(), file.begin())) {
    return ::testing::AssertionFailure() << "file does not start with the header";
  }
  const size_t frames = file.size() - header.size();
  if (frames % Firer::Frame().size() != 0) {
    return ::testing::AssertionFailure() << "a frame was cut: " << file.size() << " bytes";
  }
  return ::testing::AssertionSuccess();
}

class PacketRaceTest : public MediaTest {};

TEST_F(PacketRaceTest, LogoutLikeReleaseLeavesClosedCompleteFiles) {
  Firer firer;
  const std::string file = dir_.File("release.264");
  for (int i = 0; i < kIterations; ++i) {
    const int32_t slot = device::AllocateSlot();
    ASSERT_NE(slot, device::kNoSlot);
    HostSink sink;
    sink.RegisterFor(slot);
    const int32_t handle = OpenStream(slot);
    media::StartRecording(file, slot);
    const uint64_t start = firer.Fired().load();
    firer.Aim(handle);
    if (i % 2 == 0) {
      ASSERT_TRUE(WaitForProgress(firer.Fired(), start + 1));
    }

    media::CloseLiveStream(slot);
    media::StopRecording(slot);
    media::WaitForPacketCallbacks(slot);
    ASSERT_EQ(device::FreeSlot(slot), 0);

    EXPECT_EQ(device::Slot(slot).packetsInFlight.load(), 0);
    EXPECT_EQ(device::Slot(slot).recordFile.load(), nullptr);
    ASSERT_TRUE(WellFormed(ReadFile(file))) << "iteration " << i;
  }
  firer.Aim(0);
  // Every client opened was released exactly once.
  auto released = fake_tmcc::ReleasedHandles();
  EXPECT_EQ(released.size(), static_cast<size_t>(kIterations));
  std::sort(released.begin(), released.end());
  EXPECT_EQ(std::adjacent_find(released.begin(), released.end()), released.end());
}

TEST_F(PacketRaceTest, StopNeverRacesAWriteAndNothingFollowsIt) {
  Firer firer;
  const int32_t slot = 20;
  firer.Aim(OpenStream(slot));
  const std::string file = dir_.File("stop.264");
  for (int i = 0; i < kIterations; ++i) {
    media::StartRecording(file, slot);
    if (i % 2 == 0) {
      ASSERT_TRUE(WaitForProgress(firer.Fired(), firer.Fired().load() + 1));
    }
    media::StopRecording(slot);
    const Bytes stopped = ReadFile(file);
    ASSERT_TRUE(WellFormed(stopped)) << "iteration " << i;
    if (i % 100 == 0) {
      // Packets after the stop leave the file alone.
      ASSERT_TRUE(WaitForProgress(firer.Fired(), firer.Fired().load() + 2));
      EXPECT_EQ(ReadFile(file), stopped);
    }
  }
}

TEST_F(PacketRaceTest, ConcurrentClosesReleaseEachClientOnce) {
  Firer firer;
  const int32_t slot = 21;
  std::atomic<bool> done{false};
  std::barrier sync(2);
  std::thread closer([&] {
    while (true) {
      sync.arrive_and_wait();
      if (done.load()) return;
      media::CloseLiveStream(slot);
      sync.arrive_and_wait();
    }
  });
  for (int i = 0; i < kIterations; ++i) {
    firer.Aim(OpenStream(slot));
    sync.arrive_and_wait();
    media::CloseLiveStream(slot);
    sync.arrive_and_wait();
    EXPECT_EQ(device::Slot(slot).streamHandle.load(), device::kNoHandle);
  }
  done.store(true);
  sync.arrive_and_wait();
  closer.join();
  firer.Aim(0);

  auto released = fake_tmcc::ReleasedHandles();
  EXPECT_EQ(released.size(), static_cast<size_t>(kIterations));
  EXPECT_EQ(fake_tmcc::CallsNamed("TMCC_CloseStream").size(), static_cast<size_t>(kIterations));
  std::sort(released.begin(), released.end());
  EXPECT_EQ(std::adjacent_find(released.begin(), released.end()), released.end());
}

TEST_F(PacketRaceTest, ReplayedHeadersAreNeverTorn) {
  const int32_t slot = 22;
  const int32_t handle = OpenStream(slot);
  // Headers of different lengths and contents, one past the initial storage.
  static const size_t kLengths[] = {100, 3000, 6000};
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::vector<Bytes> headers;
    for (size_t i = 0; i < 3; ++i)
      headers.emplace_back(kLengths[i], static_cast<uint8_t>(0xA0 + i));
    for (uint64_t n = 0; !stop.load(); ++n) {
      Bytes& header = headers[n % 3];
      auto packet = MakePacket(kFrameHeader, header);
      fake_tmcc::FireStreamPacket(handle, &packet);
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return device::Slot(slot).headerCount.load() >= 2; },
                        std::chrono::seconds(10)));
  HostSink sink;
  for (int i = 0; i < kIterations; ++i) {
    media::ReplayCachedHeaders(slot, &HostSink::Callback, sink.User());
  }
  stop.store(true);
  writer.join();

  size_t checked = 0;
  for (const auto& d : sink.Deliveries()) {
    ASSERT_FALSE(d.data.empty());
    const uint8_t value = d.data[0];
    ASSERT_GE(value, 0xA0);
    ASSERT_LE(value, 0xA2);
    ASSERT_EQ(d.data.size(), kLengths[value - 0xA0]);
    ASSERT_EQ(std::count(d.data.begin(), d.data.end(), value),
              static_cast<ptrdiff_t>(d.data.size()));
    ++checked;
  }
  EXPECT_EQ(checked, static_cast<size_t>(2 * kIterations));
}

// A host that ends everything from inside its own data callback, on the
// library's thread.
struct SelfStopper {
  int32_t slot;
  bool logout;
  static int32_t QRV_CALLBACK Callback(int32_t dataType, const uint8_t*, uint32_t, StreamFrameInfo,
                                       uintptr_t user) {
    auto* self = reinterpret_cast<SelfStopper*>(user);
    if (dataType != kStreamDataVideo) return 0;
    if (self->logout) media::CloseLiveStream(self->slot);
    media::StopRecording(self->slot);
    media::WaitForPacketCallbacks(self->slot);
    if (self->logout) device::FreeSlot(self->slot);
    return 0;
  }
};

TEST_F(PacketRaceTest, StopAndReleaseFromInsideTheHostCallbackDoNotWaitForThemselves) {
  for (bool logout : {false, true}) {
    const int32_t slot = device::AllocateSlot();
    const int32_t handle = OpenStream(slot);
    SelfStopper stopper{slot, logout};
    ASSERT_EQ(media::RegisterStreamDataCallback(slot, &SelfStopper::Callback,
                                                reinterpret_cast<uintptr_t>(&stopper)),
              0);
    const std::string file = dir_.File(logout ? "logout.264" : "stop.264");
    media::StartRecording(file, slot);
    EXPECT_EQ(Fire(handle, kFrameHeader, Firer::Header()), 0);
    EXPECT_EQ(Fire(handle, kFrameVideo, Firer::Frame(), 1), 0);
    EXPECT_EQ(device::Slot(slot).recordFile.load(), nullptr);
    EXPECT_EQ(device::Slot(slot).packetsInFlight.load(), 0);
    // Stopped before the frame reached the recording step.
    EXPECT_TRUE(ReadFile(file).empty());
    EXPECT_EQ(device::Slot(slot).inUse.load(), logout ? 0 : 1);
    if (!logout) device::FreeSlot(slot);
  }
}

}  // namespace
}  // namespace qrv::test
