// Counting the packet callbacks that use a slot, and waiting for them.
//
// Two counts per slot: packetsInFlight spans a whole packet callback (the
// host's data callback included), recordWriters only the recording write.
// Releasing a slot waits for the first; stopping a recording only for the
// second, so a stop never waits for a host callback.
#pragma once

#include <cstdint>

#include "device/device_table.h"

namespace qrv::device {

// Counts the calling packet callback as running for the slot from
// construction until destruction, and remembers on this thread which slot
// it serves (a host that logs out from inside its own callback must not wait
// for itself). Any thread; lock-free.
class PacketInFlight {
 public:
  PacketInFlight(DeviceSlot& slot, int32_t index);
  ~PacketInFlight();
  PacketInFlight(const PacketInFlight&) = delete;
  PacketInFlight& operator=(const PacketInFlight&) = delete;

 private:
  DeviceSlot& slot_;
  int32_t previous_;
  bool previousReleased_;
};

// Counts a recording write for the slot. Lock-free.
class RecordWriteInFlight {
 public:
  explicit RecordWriteInFlight(DeviceSlot& slot) : slot_(slot) {
    slot_.recordWriters.fetch_add(1, std::memory_order_seq_cst);
  }
  ~RecordWriteInFlight() { slot_.recordWriters.fetch_sub(1, std::memory_order_seq_cst); }
  RecordWriteInFlight(const RecordWriteInFlight&) = delete;
  RecordWriteInFlight& operator=(const RecordWriteInFlight&) = delete;

 private:
  DeviceSlot& slot_;
};

// The slot whose packet callback runs on this thread, or -1.
int32_t CurrentPacketSlot();

// True when the host released this thread's slot from inside its own data
// callback: the rest of that packet's path must leave the slot alone.
bool OwnSlotReleased();

// Waits until no packet callback runs for the slot, except one running on the
// calling thread (which is then marked as released). Host threads or a packet
// thread inside the host's callback; no lock.
void WaitForPacketCallbacks(int32_t slot);

// Waits until no recording write runs for the slot. Never called from inside
// a write; no lock.
void WaitForRecordWrites(int32_t slot);

}  // namespace qrv::device
