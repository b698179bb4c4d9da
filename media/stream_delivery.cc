#include "media/stream_delivery.h"

#include <chrono>
#include <thread>
#include <vector>

#include "device/device_table.h"
#include "media/packet_kind.h"
#include "media/recording.h"
#include "platform/critical_section.h"

namespace qrv::media {
namespace {

using device::DeviceSlot;

// The slot whose packet callback this thread is running, or -1. Lets a host
// that stops a recording or logs out from inside its own data callback wait
// for every other packet callback of the slot without waiting for itself.
thread_local int32_t tPacketSlot = device::kNoSlot;

// Set when the host, from inside its data callback on this thread, stopped
// the recording or released the slot: the rest of that packet's path must not
// touch the slot any more. Releases from other threads wait for the packet
// instead, so the packet is still recorded.
thread_local bool tOwnSlotReleased = false;

// A packet belongs to the slot's stream, or to the stream operation 3 is
// connecting right now.
bool AcceptsHandle(const DeviceSlot& slot, int32_t handle) {
  return handle == slot.streamHandle.load(std::memory_order_seq_cst) ||
         handle == slot.pendingStreamHandle.load(std::memory_order_seq_cst);
}

// Counts the callback as running for the slot from before it reads the slot's
// stream handle until it returns, on every path out.
class PacketInFlight {
 public:
  PacketInFlight(DeviceSlot& slot, int32_t index)
      : slot_(slot), previous_(tPacketSlot), previousReleased_(tOwnSlotReleased) {
    slot_.packetsInFlight.fetch_add(1, std::memory_order_seq_cst);
    tPacketSlot = index;
    tOwnSlotReleased = false;
  }
  ~PacketInFlight() {
    tPacketSlot = previous_;
    tOwnSlotReleased = previousReleased_;
    slot_.packetsInFlight.fetch_sub(1, std::memory_order_seq_cst);
  }
  PacketInFlight(const PacketInFlight&) = delete;
  PacketInFlight& operator=(const PacketInFlight&) = delete;

 private:
  DeviceSlot& slot_;
  int32_t previous_;
  bool previousReleased_;
};

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

// Gives back header storage outgrown by a longer header as soon as this
// packet callback is the slot's only reader: a replay or another callback
// counts itself in flight before it loads a buffer's storage, and then finds
// the current one. Costs one relaxed load per buffer when nothing was outgrown.
void ReleaseOutgrownHeaders(DeviceSlot& slot) {
  if (!slot.header1.HasOutgrown() && !slot.header2.HasOutgrown() &&
      !slot.recordHeader.HasOutgrown()) {
    return;
  }
  if (slot.packetsInFlight.load(std::memory_order_seq_cst) != 1) return;  // retried next packet
  slot.header1.ReleaseOutgrown();
  slot.header2.ReleaseOutgrown();
  slot.recordHeader.ReleaseOutgrown();
}

void Deliver(DeviceSlot& slot, PacketKind kind, const uint8_t* data, uint32_t length) {
  const StreamDataCallback callback = slot.dataCallback.load(std::memory_order_acquire);
  if (callback == nullptr) return;
  StreamFrameInfo info{};
  info.keyFrame = kind.keyFrame;
  callback(kind.dataType, data, length, info, slot.dataUser.load(std::memory_order_acquire));
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
    PacketInFlight inFlight(slot, index);

    if (!AcceptsHandle(slot, handle)) return 0;

    const int32_t signedLength = packet->length;
    const uint8_t* data = packet->data;
    if (signedLength < 0 || (data == nullptr && signedLength != 0)) return 0;
    const uint32_t length = static_cast<uint32_t>(signedLength);
    const uint8_t frameType = packet->frameType;
    const uint8_t keyFlag = frameType == devicelib::kFrameVideo ? packet->keyFrame : 0;

    int32_t headerCount = 0;
    if (frameType == devicelib::kFrameHeader) {
      headerCount = CacheHeader(slot, data, length);
      if (headerCount == 0) return 0;
    }
    ReleaseOutgrownHeaders(slot);

    try {
      Deliver(slot, ClassifyPacket(frameType, keyFlag, headerCount), data, length);
    } catch (...) {
      // A throwing host callback must not cost the recording its packet.
    }

    // A host that stopped the recording or logged out from inside its callback
    // has released what the rest of this path would touch.
    if (tOwnSlotReleased) return 0;

    RecordPacket(slot, frameType, keyFlag, data, length);
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
    PacketInFlight copying(entry, tPacketSlot);
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
// Takes no lock; returns once the slot's packet callbacks other than the
// caller's own have returned.
void WaitForPacketCallbacks(int32_t slot) {
  if (!device::IsValidSlot(slot)) return;
  const DeviceSlot& entry = device::Slot(slot);
  const int32_t own = tPacketSlot == slot ? 1 : 0;
  if (own == 1) tOwnSlotReleased = true;
  for (uint32_t round = 0; entry.packetsInFlight.load(std::memory_order_seq_cst) > own; ++round) {
    // Packet callbacks are short; only a host callback that blocks keeps one
    // running for long, and then the waiter backs off.
    if (round < 256) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
}

}  // namespace qrv::media
