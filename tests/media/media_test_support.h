// Shared pieces of the media tests: a fixture that starts from a reset table
// and a fresh device-library double, packets, a recording host callback and
// file helpers.
#pragma once

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <cerrno>
#include <csignal>
#include <cstring>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "device/device_table.h"
#include "devicelib/tmcc_records.h"
#include "media/live_stream.h"
#include "media/recording.h"
#include "media/stream_delivery.h"
#include "qrvaccess/qrv_access.h"
#include "support/temp_dir.h"
#include "tests/fake_tmcc/fake_tmcc.h"

namespace qrv::test {

using Bytes = std::vector<uint8_t>;

// length bytes counting up from first, so misplaced or cut data shows.
inline Bytes Pattern(uint8_t first, size_t length) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

// A packet over bytes (which must outlive it).
inline devicelib::StreamPacket MakePacket(uint8_t frameType, Bytes& bytes, uint8_t keyFlag = 0) {
  devicelib::StreamPacket packet{};
  packet.size = sizeof(packet);
  packet.frameType = frameType;
  packet.keyFrame = keyFlag;
  packet.data = bytes.data();
  packet.length = static_cast<int32_t>(bytes.size());
  return packet;
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void Append(Bytes& to, const Bytes& bytes) {
  to.insert(to.end(), bytes.begin(), bytes.end());
}

// One call of the host's StreamDataCallback.
struct Delivery {
  int32_t dataType;
  Bytes data;
  StreamFrameInfo info;
  uintptr_t user;
};

// Collects the calls of a StreamDataCallback registered with its address as
// the user value.
class HostSink {
 public:
  static int32_t QRV_CALLBACK Callback(int32_t dataType, const uint8_t* data, uint32_t length,
                                       StreamFrameInfo info, uintptr_t user) {
    auto* sink = reinterpret_cast<HostSink*>(user);
    std::lock_guard<std::mutex> lock(sink->mutex_);
    sink->deliveries_.push_back(
        Delivery{dataType, data == nullptr ? Bytes() : Bytes(data, data + length), info, user});
    return 0;
  }

  uintptr_t User() { return reinterpret_cast<uintptr_t>(this); }
  void RegisterFor(int32_t slot) {
    ASSERT_EQ(media::RegisterStreamDataCallback(static_cast<uint32_t>(slot), &Callback, User()), 0);
  }
  std::vector<Delivery> Deliveries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return deliveries_;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return deliveries_.size();
  }

 private:
  std::mutex mutex_;
  std::vector<Delivery> deliveries_;
};

class MediaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_tmcc::Reset();
    device::ResetAllSlots();
  }
  void TearDown() override {
    media::DisableBatchedRecording();
    for (int32_t slot = 0; slot < device::kSlotCount; ++slot) {
      media::CloseLiveStream(slot);
      media::StopRecording(slot);
    }
    fake_tmcc::Reset();
  }

  // Opens and stores a live stream on slot; returns its handle.
  int32_t OpenStream(int32_t slot, int32_t streamType = 0) {
    int32_t handle = -1;
    EXPECT_EQ(media::OpenLiveStream(streamType, slot, &handle, "admin", "secret", "127.0.0.1", 0),
              0);
    media::StoreLiveStream(slot, handle, 0, streamType);
    return handle;
  }

  // Fires one packet of handle on the double's library thread.
  static int32_t Fire(int32_t handle, uint8_t frameType, Bytes bytes, uint8_t keyFlag = 0) {
    auto packet = MakePacket(frameType, bytes, keyFlag);
    return fake_tmcc::FireStreamPacket(handle, &packet);
  }

  TempDir dir_;
};

#if !defined(_WIN32)
// Lowers the process's file-size limit (with SIGXFSZ ignored, so a write past
// it fails with EFBIG) and restores both on destruction.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &previous_);
    Set(bytes);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }
  void Set(rlim_t bytes) {
    rlimit limit = previous_;
    limit.rlim_cur = bytes;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0) << std::strerror(errno);
  }
  void Lift() { ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &previous_), 0); }

 private:
  rlimit previous_{};
  void (*previousHandler_)(int) = SIG_DFL;
};
#endif  // !_WIN32

}  // namespace qrv::test
