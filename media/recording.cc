#include "media/recording.h"

#include <cstdio>
#include <limits>

#include "device/device_table.h"
#include "devicelib/tmcc_records.h"
#include "media/packet_kind.h"
#include "media/stream_delivery.h"
#include "platform/debug_output.h"

namespace qrv::media {
namespace {

using device::DeviceSlot;
using device::HeaderBuffer;

// "打开文件错误" (file open error) in the GBK code page.
constexpr char kFileOpenError[] = "\xB4\xF2\xBF\xAA\xCE\xC4\xBC\xFE\xB4\xED\xCE\xF3";

// recordedBytes is a signed 32-bit count whose 0 means "waiting for the first
// key frame"; it stops at its maximum instead of wrapping, which would stop a
// long recording (more than 2 GiB) from receiving frames.
int32_t AddSaturated(int32_t total, uint32_t add) {
  const int64_t sum = static_cast<int64_t>(total) + add;
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(sum > kMax ? kMax : sum);
}

void Write(std::FILE* file, const uint8_t* data, uint32_t length) {
  if (length > 0) std::fwrite(data, 1, length, file);
}

// Writes a cached header into the file and remembers it as the one the file
// continues from. Returns the bytes written.
uint32_t WriteHeader(DeviceSlot& slot, std::FILE* file, const HeaderBuffer& header) {
  const uint32_t length = static_cast<uint32_t>(header.Length());
  Write(file, header.WriterData(), length);
  slot.stats.recordedBytes.fetch_add(length, std::memory_order_relaxed);
  slot.recordHeader.Store(header.WriterData(), length);
  slot.recordHeaderChanged.store(0, std::memory_order_relaxed);
  return length;
}

}  // namespace

// Threads: host threads; no lock.
int32_t StartRecording(const std::string& fileName, int32_t index) {
  if (!device::IsValidSlot(index)) return device::kResultBadSlot;
  DeviceSlot& slot = device::Slot(index);
  // A running recording continues (or one still being closed by a stop).
  if (slot.recording.load() != 0 || slot.recordFile.load() != nullptr) return device::kResultOk;
  std::FILE* file = std::fopen(fileName.c_str(), "wb");
  if (file == nullptr) {
    platform::OutputDebugText(kFileOpenError);
    slot.stats.lastError.store("recording file could not be opened", std::memory_order_relaxed);
    return device::kResultFailed;
  }
  std::FILE* none = nullptr;
  if (!slot.recordFile.compare_exchange_strong(none, file)) {
    std::fclose(file);  // another host thread started one at the same moment
    return device::kResultOk;
  }
  slot.recordedBytes.store(0);
  slot.stats.recordedBytes.store(0, std::memory_order_relaxed);
  slot.recording.store(1);
  return device::kResultOk;
}

// Threads: host threads, or a packet thread inside the host's data callback;
// no lock. Waits for the slot's other packet callbacks before closing.
int32_t StopRecording(int32_t index) {
  if (!device::IsValidSlot(index)) return 0;
  DeviceSlot& slot = device::Slot(index);
  if (slot.recording.exchange(0) == 0) return 0;
  // The packet path reads recording after counting itself in flight, so once
  // the count drains no callback can still be writing to the file.
  WaitForPacketCallbacks(index);
  std::FILE* file = slot.recordFile.exchange(nullptr);
  slot.recordedBytes.store(0);
  if (file != nullptr) {
    std::fflush(file);
    std::fclose(file);
  }
  return 0;
}

void RecordPacket(DeviceSlot& slot, uint8_t frameType, uint8_t keyFlag, const uint8_t* data,
                  uint32_t length) {
  if (slot.recording.load(std::memory_order_seq_cst) == 0) return;
  std::FILE* file = slot.recordFile.load(std::memory_order_seq_cst);
  if (file == nullptr) return;
  int32_t written = slot.recordedBytes.load(std::memory_order_relaxed);

  if (frameType == devicelib::kFrameHeader) {
    // Headers go into the file only ahead of a key frame; here we only note
    // that the encoder's settings changed under a running recording.
    if (written > 0 && !slot.recordHeader.Equals(data, length)) {
      slot.recordHeaderChanged.store(1, std::memory_order_relaxed);
    }
    return;
  }
  if (!IsRecordedFrame(frameType)) return;
  const bool key = IsKeyFrame(frameType, keyFlag);

  if (written == 0) {
    // Waiting: the file opens with the first header at the first key frame;
    // without a cached header nothing is written at all.
    if (!key || slot.header1.Length() <= 0) return;
    written = static_cast<int32_t>(WriteHeader(slot, file, slot.header1));
  } else if (slot.recordHeaderChanged.load(std::memory_order_relaxed) != 0) {
    // Frames after a header change cannot be decoded with the header in the
    // file: skip them until a key frame, and put the new header before it.
    if (!key) return;
    const HeaderBuffer& latest = slot.header2.Length() > 0 ? slot.header2 : slot.header1;
    written = AddSaturated(written, WriteHeader(slot, file, latest));
  }

  Write(file, data, length);
  slot.stats.recordedBytes.fetch_add(length, std::memory_order_relaxed);
  slot.recordedBytes.store(AddSaturated(written, length), std::memory_order_relaxed);
}

}  // namespace qrv::media
