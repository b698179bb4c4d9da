#include "device/device_table.h"

#include <new>

#include "device/packet_guard.h"
#include "device/slot_owner.h"

namespace qrv::device {

namespace {

// 256 records in static storage, built in place on first use and never
// destroyed: they never move, and a library thread that still delivers a
// packet while the process exits never meets a destroyed slot.
DeviceSlot* BuildTable() {
  alignas(DeviceSlot) static unsigned char storage[sizeof(DeviceSlot) * kSlotCount];
  for (int32_t i = 0; i < kSlotCount; ++i) {
    new (storage + sizeof(DeviceSlot) * static_cast<size_t>(i)) DeviceSlot();
  }
  return std::launder(reinterpret_cast<DeviceSlot*>(storage));
}

DeviceSlot* Table() {
  static DeviceSlot* const table = BuildTable();
  return table;
}

// The table exists from the moment the library is loaded.
[[maybe_unused]] DeviceSlot* const g_builtAtLoad = Table();

}  // namespace

DeviceSlot& Slot(int32_t index) {
  return Table()[index];
}

platform::CriticalSection& TableLock() {
  // Constructed on first use and kept until the library goes: it must exist
  // before Init (a host may register a data callback first) and after Uninit
  // (calls racing shutdown), so neither creates nor deletes it.
  static platform::CriticalSection lock;
  return lock;
}

void ResetSlot(int32_t index) {
  DeviceSlot& slot = Slot(index);
  slot.loginHandle.store(kNoHandle);
  slot.streamHandle.store(kNoHandle);
  slot.pendingStreamHandle.store(kNoHandle);
  slot.deviceIp.clear();
  slot.user.clear();
  slot.password.clear();
  slot.devicePort.store(0);
  slot.channel.store(0);
  slot.inUse.store(0);
  slot.online.store(0);
  slot.dataCallback.store(nullptr);
  slot.reserved1 = 0;
  slot.dataUser.store(0);
  slot.streamType.store(0);
  slot.reserved2 = -1;
  slot.reserved3 = 0;
  slot.playWnd.store(0);
  slot.headerCount.store(0);
  slot.recording.store(0);
  slot.recordedBytes.store(0);
  // A recording nobody stopped still owns a descriptor: close it rather than
  // forget it (no packet callback runs for the slot now).
  delete slot.recordFile.exchange(nullptr);
  slot.header1.Allocate();
  slot.header2.Allocate();
  // The recording's and a re-opening stream's header copies get storage now,
  // so the packet path never allocates for a header of ordinary size.
  slot.recordHeader.Allocate();
  slot.recordResync.store(0);
  slot.recordHold.store(0);
  slot.pendingHeader.Allocate();
  slot.adoptPendingHeader.store(0);
  slot.stats.Reset();
  // packetsInFlight, recordWriters and loginUsers count callers that are
  // running right now; they return to 0 by themselves and are never
  // overwritten.
}

void ResetAllSlots() {
  // The lock exists for the library's whole life, so the reset may as well
  // keep an alarm lookup on another thread from reading a half-reset address.
  platform::ScopedLock lock(&TableLock());
  for (int32_t i = 0; i < kSlotCount; ++i) ResetSlot(i);
}

namespace {

// A slot that is free may still carry a stream or a recording that a host
// opened on it without a login (operations 3 and 21 accept any slot). Those
// are closed before the slot is reset for a new login, so that no packet
// callback writes into buffers that the reset replaces. Runs without the lock.
void CloseLeftoverMedia(int32_t index) {
  DeviceSlot& slot = Slot(index);
  if (!slot.header1.HasStorage()) return;  // never reset: nothing was opened
  DetachStream(SlotIndex(index));
  EndRecording(SlotIndex(index));
  WaitForPacketCallbacks(index);
}

}  // namespace

int32_t AllocateSlot() {
  int32_t found = kNoSlot;
  {
    platform::ScopedLock lock(&TableLock());
    for (int32_t i = 0; i < kSlotCount; ++i) {
      if (Slot(i).inUse.load() == 0) {
        found = i;
        break;
      }
    }
    if (found == kNoSlot) return kNoSlot;
    DeviceSlot& slot = Slot(found);
    const bool quiet = slot.streamHandle.load() == kNoHandle && slot.recordFile.load() == nullptr;
    if (quiet || !slot.header1.HasStorage()) {
      ResetSlot(found);
      slot.inUse.store(1);
      return found;
    }
    // Reserve it now; the leftover media is closed outside the lock (library
    // calls are never made under it).
    slot.inUse.store(1);
  }
  CloseLeftoverMedia(found);
  platform::ScopedLock lock(&TableLock());
  ResetSlot(found);
  Slot(found).inUse.store(1);
  return found;
}

int32_t FindSlotByIp(std::string address) {
  platform::ScopedLock lock(&TableLock());
  for (int32_t i = 0; i < kSlotCount; ++i) {
    if (Slot(i).deviceIp == address) return i;
  }
  return kNoSlot;
}

int32_t FindSlotByLogin(int32_t loginHandle) {
  if (loginHandle == 0) return kNoSlot;
  platform::ScopedLock lock(&TableLock());
  for (int32_t i = 0; i < kSlotCount; ++i) {
    const DeviceSlot& slot = Slot(i);
    if (slot.inUse.load() != 0 && slot.loginHandle.load() == loginHandle) return i;
  }
  return kNoSlot;
}

int32_t FreeSlot(int32_t index) {
  if (!IsValidSlot(index)) return kResultBadSlot;
  DeviceSlot& slot = Slot(index);
  // No packet callback may touch the header buffers while they are replaced:
  // from here on every packet is refused for its handle, and the ones already
  // running are waited for.
  slot.streamHandle.store(kNoHandle);
  WaitForPacketCallbacks(index);
  slot.header1.Release();
  slot.header2.Release();
  platform::ScopedLock lock(&TableLock());
  slot.inUse.store(0);
  ResetSlot(index);
  return kResultOk;
}

}  // namespace qrv::device
