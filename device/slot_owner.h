// The one owner of a slot's life: stream attach and detach, recording start
// and stop, and the release of everything a slot holds, in one order with one
// wait. Reservation and the login's fill are in device_table.h and login.h;
// the orchestration of logout, Init and Uninit is the plug-in's.
//
// Teardown order (ReleaseSlotResources): voice talk, live stream client,
// recording file (after the writes using it), login client (after the monitor's
// use of it), then the wait for the slot's running packet callbacks, so that no
// host callback for the slot runs once it returns.
//
// Threads: host threads unless said otherwise. The table lock is taken only for
// slot updates; no library call, file operation or wait runs under it.
#pragma once

#include <cstdint>
#include <string>

#include "device/slot_types.h"

namespace qrv::device {

// Makes a connected stream client the slot's stream (with its channel and
// stream type). The earlier client, if any, is closed and released after the
// switch, so packets of the two never reach the host or a recording together;
// a running recording waits for the new stream's next key frame.
void AttachStream(SlotIndex slot, StreamHandle stream, int32_t channel, int32_t streamType);

// Closes and releases the slot's stream client, if any, and marks the slot as
// having none, so no handle is ever released twice. The recording, header
// cache and data callback stay.
void DetachStream(SlotIndex slot);

enum class RecordingStart { kStarted, kAlreadyRunning, kCannotOpen };

// Opens path for the slot's recording unless one runs already.
RecordingStart BeginRecording(SlotIndex slot, const std::string& path);

// Stops the slot's recording: whoever takes the file waits only for the writes
// using it (never for a host callback), then closes it. Returns 0. A stop
// racing another stop or a logout leaves exactly one of them closing the file.
int32_t EndRecording(SlotIndex slot);

// Releases everything the slot holds (see the order above). Leaves the slot
// in use; callers free or reset it afterwards. May run inside the slot's own
// data callback (it then does not wait for itself).
void ReleaseSlotResources(int32_t slot);

// ReleaseSlotResources, then FreeSlot. Returns 0.
int32_t LogoutDevice(int32_t slot);

// Shutdown: for every slot in use, releases the login client and the stream
// client (without closing the stream first) and closes the recording. The
// slots stay in use, without handles.
void ReleaseClientsOfSlotsInUse();

// Init: releases whatever slots reset by an earlier Init still hold.
void ReleaseEarlierSlots();

}  // namespace qrv::device
