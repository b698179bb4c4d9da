// Per-slot health counters a host can read (device status operation).
//
// Written on the packet path and by recording writes without any lock (relaxed
// atomics: each counter is exact on its own, a reader may see one counter a
// packet ahead of another). Reset with the slot. `lastError` points at a
// string literal with static storage, so publishing it never allocates.
#pragma once

#include <atomic>
#include <cstdint>

namespace qrv::device {

struct SlotStats {
  // Every packet of the slot's stream the plug-in accepted, headers included.
  std::atomic<uint64_t> packetsReceived{0};
  std::atomic<uint64_t> bytesReceived{0};
  std::atomic<uint64_t> keyFrames{0};
  // Bytes written to the current recording file (64-bit, never saturates),
  // and the video frames and key frames among them: a host judges a
  // recording by these without reading the file, whatever the codec.
  std::atomic<uint64_t> recordedBytes{0};
  std::atomic<uint64_t> recordedFrames{0};
  std::atomic<uint64_t> recordedKeyFrames{0};
  // Failed or short recording writes, and the bytes of frames they cost.
  std::atomic<uint64_t> writeErrors{0};
  std::atomic<uint64_t> bytesLost{0};
  // Header packets longer than the header cache takes; neither cached,
  // delivered nor recorded.
  std::atomic<uint64_t> headersRefused{0};
  // Short English text of the last failure, or nullptr when none.
  std::atomic<const char*> lastError{nullptr};
  // The login client's lost sessions the connection monitor has accounted
  // for (seen off line, or reported as an off-line/on-line pair); monitor
  // thread only.
  std::atomic<uint32_t> outagesReported{0};
  // packetsReceived as the connection monitor's last pass saw it; monitor
  // thread only.
  std::atomic<uint64_t> packetsAtLastPass{0};

  void Reset() {
    packetsReceived.store(0, std::memory_order_relaxed);
    bytesReceived.store(0, std::memory_order_relaxed);
    keyFrames.store(0, std::memory_order_relaxed);
    recordedBytes.store(0, std::memory_order_relaxed);
    recordedFrames.store(0, std::memory_order_relaxed);
    recordedKeyFrames.store(0, std::memory_order_relaxed);
    writeErrors.store(0, std::memory_order_relaxed);
    bytesLost.store(0, std::memory_order_relaxed);
    headersRefused.store(0, std::memory_order_relaxed);
    lastError.store(nullptr, std::memory_order_relaxed);
    outagesReported.store(0, std::memory_order_relaxed);
    packetsAtLastPass.store(0, std::memory_order_relaxed);
  }
};

}  // namespace qrv::device
