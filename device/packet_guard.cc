#include "device/packet_guard.h"

#include <chrono>
#include <thread>

namespace qrv::device {

namespace {

thread_local int32_t tPacketSlot = kNoSlot;
thread_local bool tOwnSlotReleased = false;

// Packet callbacks are short; only a host callback that blocks keeps one
// running for long, and then the waiter backs off.
template <typename Done>
void WaitUntil(Done done) {
  for (uint32_t round = 0; !done(); ++round) {
    if (round < 256) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
}

}  // namespace

PacketInFlight::PacketInFlight(DeviceSlot& slot, int32_t index)
    : slot_(slot), previous_(tPacketSlot), previousReleased_(tOwnSlotReleased) {
  slot_.packetsInFlight.fetch_add(1, std::memory_order_seq_cst);
  tPacketSlot = index;
  tOwnSlotReleased = false;
}

PacketInFlight::~PacketInFlight() {
  tPacketSlot = previous_;
  tOwnSlotReleased = previousReleased_;
  slot_.packetsInFlight.fetch_sub(1, std::memory_order_seq_cst);
}

int32_t CurrentPacketSlot() {
  return tPacketSlot;
}

bool OwnSlotReleased() {
  return tOwnSlotReleased;
}

void WaitForPacketCallbacks(int32_t slot) {
  if (!IsValidSlot(slot)) return;
  const DeviceSlot& entry = Slot(slot);
  const int32_t own = tPacketSlot == slot ? 1 : 0;
  if (own == 1) tOwnSlotReleased = true;
  WaitUntil([&] { return entry.packetsInFlight.load(std::memory_order_seq_cst) <= own; });
}

void WaitForRecordWrites(int32_t slot) {
  if (!IsValidSlot(slot)) return;
  const DeviceSlot& entry = Slot(slot);
  WaitUntil([&] { return entry.recordWriters.load(std::memory_order_seq_cst) == 0; });
}

}  // namespace qrv::device
