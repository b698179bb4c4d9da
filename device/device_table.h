// The process-wide table of 256 device slots and its lock.
//
// A slot's index (0..255) is the host's handle for a device. The table lives
// in static storage for the life of the library and is shared by every plug-in
// object. The table lock guards slot reservation, lookup by address, release,
// the stream-open writes of the stream fields, the data-callback registration
// and the login's writes of the login texts. No library call and no other lock
// is ever taken while it is held.
//
// Fields that other threads read without the lock (the connection monitor, the
// stream packet path, the alarm path) are atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "device/header_buffer.h"
#include "device/recording_session.h"
#include "device/slot_stats.h"
#include "platform/critical_section.h"
#include "platform/thread_annotations.h"
#include "qrvaccess/qrv_access.h"

namespace qrv::device {

inline constexpr int32_t kSlotCount = 256;
inline constexpr int32_t kNoSlot = -1;
inline constexpr int32_t kNoHandle = -1;

// Result codes shared by the table and the operations.
inline constexpr int32_t kResultOk = 0;
inline constexpr int32_t kResultBadSlot = 10;
inline constexpr int32_t kResultNoFreeSlot = 14;
inline constexpr int32_t kResultFailed = -1;

// True for a slot number 0..255; every negative number fails, as it is
// compared as unsigned.
inline bool IsValidSlot(int32_t number) {
  return static_cast<uint32_t>(number) <= 255u;
}

// The name the lock annotations give the table lock; declared only, never
// defined or used at run time.
extern platform::CriticalSection& gTableLock;

// The table lock: created with the library, never destroyed.
platform::CriticalSection& TableLock() QRV_RETURN_CAPABILITY(gTableLock);

struct DeviceSlot {
  // Login (written by the login under the table lock; read by the monitor,
  // logout and device requests without it).
  std::atomic<int32_t> loginHandle{0};
  std::atomic<int32_t> streamHandle{0};
  // The stream client that operation 3 is connecting: its packets are
  // accepted from registration on, so a header sent before the connect call
  // returns is not lost. -1 when no open is in progress.
  std::atomic<int32_t> pendingStreamHandle{-1};
  std::string deviceIp QRV_GUARDED_BY(gTableLock);
  std::string user QRV_GUARDED_BY(gTableLock);
  std::string password QRV_GUARDED_BY(gTableLock);
  std::atomic<int32_t> devicePort{0};
  std::atomic<int32_t> channel{0};
  std::atomic<uint8_t> inUse{0};
  std::atomic<uint8_t> online{0};  // written only by the connection monitor and the reset

  // Stream delivery (registration under the table lock; read by the packet path).
  std::atomic<StreamDataCallback> dataCallback{nullptr};
  uint32_t reserved1 = 0;
  std::atomic<uintptr_t> dataUser{0};
  std::atomic<int32_t> streamType{0};
  int32_t reserved2 = 0;
  uint8_t reserved3 = 0;
  std::atomic<uint32_t> playWnd{0};

  // Header cache and recording (written by the packet path; the recording is
  // started and stopped on host threads through device/slot_owner.h). The
  // session pointer is the recording's ownership: whoever exchanges it to
  // null closes the file.
  std::atomic<int32_t> headerCount{0};
  std::atomic<int32_t> recording{0};
  std::atomic<int32_t> recordedBytes{0};
  std::atomic<RecordingSession*> recordFile{nullptr};
  HeaderBuffer header1;
  HeaderBuffer header2;

  // Packet callbacks currently running for this slot (host callback
  // included); a release of the slot waits for it to reach 0 before it frees
  // buffers, so no host callback runs for the slot after a logout.
  std::atomic<int32_t> packetsInFlight{0};
  // Packet callbacks currently writing to the recording; a stop waits only for
  // these before it closes the file.
  std::atomic<int32_t> recordWriters{0};
  // The header the recording file currently continues from (packet path only).
  HeaderBuffer recordHeader;
  // Set when a stream client was attached: the recording waits for that
  // stream's next key frame, so frames of two clients never mix.
  std::atomic<uint8_t> recordResync{0};
  // Set while an attach releases the earlier client: a callback of that
  // client may still be running, so nothing is written until it has returned
  // and the file never has two writers.
  std::atomic<uint8_t> recordHold{0};

  // The header a re-opening client sent while the earlier stream still
  // worked (written by that client's packet thread), and whether it is to be
  // taken into the cache at that client's next packet once it is attached.
  HeaderBuffer pendingHeader;
  std::atomic<uint8_t> adoptPendingHeader{0};

  // Device requests on the login client currently running outside the table
  // lock (the monitor's TMCC_IsConnect); logout and shutdown wait for it to
  // reach 0 before they release the login client.
  std::atomic<int32_t> loginUsers{0};

  // Health counters for the device status operation.
  SlotStats stats;
};

// The table (static storage, 256 slots).
DeviceSlot& Slot(int32_t index);

// Gives every field its value after reset and two fresh 4096-byte header
// buffers; closes a recording file still attached. Callers hold the table
// lock, and no packet callback may run for the slot.
void ResetSlot(int32_t index) QRV_REQUIRES(gTableLock);

// Resets all 256 slots in index order (Init). Must not overlap any other use.
void ResetAllSlots();

// Reserves the lowest free slot and resets it; -1 when all are in use.
// Any thread; takes the table lock.
int32_t AllocateSlot();

// The first slot (in use or not) whose deviceIp equals address exactly; -1
// when none. Any thread; takes the table lock.
int32_t FindSlotByIp(std::string address);

// The slot in use whose login client is loginHandle (never 0); -1 when none.
// Any thread; takes the table lock.
int32_t FindSlotByLogin(int32_t loginHandle);

// Marks the slot free and resets it; 10 for an index outside 0..255. Closes no
// library handle, stream or file: the caller releases those first. Any thread;
// takes the table lock for the mark-free-and-reset step.
int32_t FreeSlot(int32_t index);

}  // namespace qrv::device
