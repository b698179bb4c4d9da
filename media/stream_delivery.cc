#include "media/stream_delivery.h"

#include <vector>

#include "device/device_table.h"
#include "device/packet_guard.h"
#include "media/packet_kind.h"
#include "media/record_batch.h"
#include "media/recording.h"
#include "platform/critical_section.h"

namespace qrv::media {
namespace {

using device::DeviceSlot;

// A packet of the slot's stream, of the client a re-open is connecting beside
// the still-working stream (held back: only its header is kept), or of
// neither. A client being connected on a slot without a working stream is
// taken as the stream, so a header sent before the connect call returns is
// not lost.
enum class Source { kStream, kBesideWorking, kNone };

Source Classify(const DeviceSlot& slot, int32_t handle) {
  const int32_t current = slot.streamHandle.load(std::memory_order_seq_cst);
  if (handle == current) return Source::kStream;
  if (handle != slot.pendingStreamHandle.load(std::memory_order_seq_cst)) return Source::kNone;
  return current == device::kNoHandle ? Source::kStream : Source::kBesideWorking;
}

// Caches a header packet: the first since the slot reset in header1, every
// later one in header2. Returns the header count including this packet, or 0
// when the header is longer than the cache takes: such a packet is refused
// whole (counted, not delivered, not recorded), so what the host received and
// what a later registration replays never disagree.
int32_t CacheHeader(DeviceSlot& slot, const uint8_t* data, uint32_t length) {
  if (length > device::HeaderBuffer::kMaxLength) {
    slot.stats.headersRefused.fetch_add(1, std::memory_order_relaxed);
    slot.stats.lastError.store("stream header too long", std::memory_order_relaxed);
    return 0;
  }
  const int32_t count = slot.headerCount.fetch_add(1, std::memory_order_relaxed) + 1;
  if (count == 1) {
    slot.header1.Store(data, length);
  } else {
    slot.header2.Store(data, length);
  }
  return count;
}

void CountAccepted(DeviceSlot& slot, PacketKind kind, uint32_t length) {
  slot.stats.packetsReceived.fetch_add(1, std::memory_order_relaxed);
  slot.stats.bytesReceived.fetch_add(length, std::memory_order_relaxed);
  if (kind.keyFrame != 0) slot.stats.keyFrames.fetch_add(1, std::memory_order_relaxed);
}

// Gives back header storage outgrown by a longer header as soon as this
// packet callback is the slot's only reader: a replay or another callback
// counts itself in flight before it loads a buffer's storage, and then finds
// the current one. Costs one relaxed load per buffer when nothing was outgrown.
void ReleaseOutgrownHeaders(DeviceSlot& slot) {
  if (!slot.header1.HasOutgrown() && !slot.header2.HasOutgrown() &&
      !slot.recordHeader.HasOutgrown() && !slot.pendingHeader.HasOutgrown()) {
    return;
  }
  if (slot.packetsInFlight.load(std::memory_order_seq_cst) != 1) return;  // retried next packet
  slot.header1.ReleaseOutgrown();
  slot.header2.ReleaseOutgrown();
  slot.recordHeader.ReleaseOutgrown();
  slot.pendingHeader.ReleaseOutgrown();
}

void Deliver(DeviceSlot& slot, PacketKind kind, const uint8_t* data, uint32_t length) {
  const StreamDataCallback callback = slot.dataCallback.load(std::memory_order_acquire);
  if (callback == nullptr) return;
  StreamFrameInfo info{};
  info.keyFrame = kind.keyFrame;
  callback(kind.dataType, data, length, info, slot.dataUser.load(std::memory_order_acquire));
}

// Caches, delivers and records one packet of the slot's stream.
void AcceptPacket(DeviceSlot& slot, int32_t index, uint8_t frameType, uint8_t keyFlag,
                  const uint8_t* data, uint32_t length, RecordSource source) {
  int32_t headerCount = 0;
  if (frameType == devicelib::kFrameHeader) {
    headerCount = CacheHeader(slot, data, length);
    if (headerCount == 0) return;  // refused: too long to cache
  }
  ReleaseOutgrownHeaders(slot);
  const PacketKind kind = ClassifyPacket(frameType, keyFlag, headerCount);
  CountAccepted(slot, kind, length);

  try {
    Deliver(slot, kind, data, length);
  } catch (...) {
    // A throwing host callback must not cost the recording its packet.
  }

  // A host that logged out from inside its callback has released what the
  // rest of this path would touch.
  if (device::OwnSlotReleased()) return;

  RecordPacket(slot, index, frameType, keyFlag, data, length, source);
}

}  // namespace

// Threads: a library thread per stream client. Takes no lock and calls the
// host's data callback without any held; allocates only for a header longer
// than its buffer, and frees only storage such a header outgrew.
int32_t QRV_CALLBACK StreamPacketCallback(int32_t handle, devicelib::StreamPacket* packet,
                                          void* context) {
  try {
    if (packet == nullptr) return -1;
    const intptr_t number = reinterpret_cast<intptr_t>(context);
    if (number < 0 || number > 255) return device::kResultBadSlot;
    const int32_t index = static_cast<int32_t>(number);
    DeviceSlot& slot = device::Slot(index);
    device::PacketInFlight inFlight(slot, index);

    const Source source = Classify(slot, handle);
    if (source == Source::kNone) return 0;

    const int32_t signedLength = packet->length;
    const uint8_t* data = packet->data;
    if (signedLength < 0 || (data == nullptr && signedLength != 0)) return 0;
    const uint32_t length = static_cast<uint32_t>(signedLength);
    const uint8_t frameType = packet->frameType;
    const uint8_t keyFlag = frameType == devicelib::kFrameVideo ? packet->keyFrame : 0;

    if (source == Source::kBesideWorking) {
      // The host and the recording keep the working stream until this client
      // is attached; its header is kept for that moment.
      if (frameType == devicelib::kFrameHeader && length <= device::HeaderBuffer::kMaxLength) {
        slot.pendingHeader.Store(data, length);
      }
      return 0;
    }
    if (slot.adoptPendingHeader.load(std::memory_order_relaxed) != 0 &&
        slot.adoptPendingHeader.exchange(0) != 0) {
      // This client was attached after sending its header beside the earlier
      // stream: the header now goes where any header goes.
      const uint32_t held = static_cast<uint32_t>(slot.pendingHeader.Length());
      if (held > 0) {
        AcceptPacket(slot, index, devicelib::kFrameHeader, 0, slot.pendingHeader.WriterData(), held,
                     RecordSource{handle, false});
      }
      if (device::OwnSlotReleased()) return 0;
    }
    // A batched packet's data stays valid until the library's batch end, so
    // its recording write can wait for the rest of the batch.
    const bool batched = IsBatchedPacket(packet->flags);
    AcceptPacket(slot, index, frameType, keyFlag, data, length, RecordSource{handle, batched});
    return 0;
  } catch (...) {
    return 0;
  }
}

// Threads: host threads. Takes the table lock for the two stores only.
int32_t RegisterStreamDataCallback(uint32_t slot, StreamDataCallback callback, uintptr_t user) {
  if (slot > 255u) return device::kResultBadSlot;
  DeviceSlot& entry = device::Slot(static_cast<int32_t>(slot));
  platform::ScopedLock lock(&device::TableLock());
  // The value first, so a packet that sees the new callback also sees its value.
  entry.dataUser.store(user, std::memory_order_release);
  entry.dataCallback.store(callback, std::memory_order_release);
  return 0;
}

// Threads: host threads. Holds no lock while it calls the host.
void ReplayCachedHeaders(uint32_t slot, StreamDataCallback callback, uintptr_t user) {
  if (slot > 255u || callback == nullptr) return;
  const int32_t index = static_cast<int32_t>(slot);
  DeviceSlot& entry = device::Slot(index);
  std::vector<uint8_t> first;
  std::vector<uint8_t> later;
  {
    // Counted like a packet while copying, so a concurrent release of the
    // slot's buffers waits for the copies.
    device::PacketInFlight copying(entry, device::CurrentPacketSlot());
    entry.header1.Snapshot(first);
    entry.header2.Snapshot(later);
  }
  const StreamFrameInfo none{};
  if (!first.empty()) {
    callback(kStreamDataFirstHeader, first.data(), static_cast<uint32_t>(first.size()), none, user);
  }
  if (!later.empty()) {
    callback(kStreamDataLaterHeader, later.data(), static_cast<uint32_t>(later.size()), none, user);
  }
}

// Threads: host threads, or a packet thread inside the host's data callback.
void WaitForPacketCallbacks(int32_t slot) {
  device::WaitForPacketCallbacks(slot);
}

}  // namespace qrv::media
