// Control interface of the device-library test double (libtmControlClient.so
// built for tests only).
//
// The double records every TMCC_* call in order with its arguments and a copy
// of every record it is handed, returns scripted results, and fires the
// library's callbacks from a thread of its own, as the real library would.
// Like the real library, TMCC_CloseStream, TMCC_StopListen, TMCC_StopEnum and
// TMCC_Done return only after every callback already running for that client
// has returned, and none starts afterwards (from inside that client's own
// callback they do not wait).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "devicelib/tmcc_api.h"

namespace fake_tmcc {

struct Call {
  std::string name;             // "TMCC_Connect", ...
  std::vector<int64_t> args;    // integer arguments in order (pointers as their value)
  std::vector<uint8_t> record;  // copy of the record argument, if the call takes one
  std::string text;             // text arguments joined by '|' (file name, format)
  std::thread::id thread{};     // the caller's thread (set by the double)
};

// Forgets calls, scripts, callbacks and handles; the next TMCC_Init returns 1.
void Reset();

std::vector<Call> Calls();
std::vector<std::string> CallNames();
// Calls whose name equals name, in order.
std::vector<Call> CallsNamed(const std::string& name);
// Names of the calls made on thread, in order: a sequence one thread makes,
// without the calls a poller makes meanwhile.
std::vector<std::string> CallNamesFrom(std::thread::id thread);
void ClearCalls();

// Result of every later call of name (default 0, and for TMCC_Init the next
// handle number; TMCC_IsConnect defaults to the handle's connected state).
// The extensions' calls take scripts too, but are not logged.
void SetResult(const std::string& name, int32_t result);
// One-shot result, used before the default; several queue in order.
void QueueResult(const std::string& name, int32_t result);
// Runs inside every later call of name, before it returns (for example to
// raise a processor fault, or to block).
void SetAction(const std::string& name, std::function<void()> action);

// State that TMCC_IsConnect reports by default for a handle (false at first;
// a TMCC_Connect returning 0 makes it true, TMCC_DisConnect false).
void SetConnected(int32_t handle, bool connected);

// Records an outage of the handle's connection that the library already
// repaired: one more disconnect and reconnect, the last lasting outageMs.
// Only the double built with the connection-history extension reports it.
void SimulateOutage(int32_t handle, uint32_t outageMs);
// The two halves of that count, for a test that orders them against the
// connected state itself: one more lost session; one more restored one.
void CountDisconnect(int32_t handle);
void CountReconnect(int32_t handle, uint32_t outageMs);

// Handles released with TMCC_Done so far, in order.
std::vector<int32_t> ReleasedHandles();

// Fire the callback registered for handle on the double's library thread and
// wait for it to return; returns the callback's result, or INT32_MIN when
// nothing is registered or the client is released.
int32_t FireStreamPacket(int32_t handle, qrv::devicelib::StreamPacket* packet);
int32_t FireAlarmMessage(int32_t handle, qrv::devicelib::AlarmMessage* message);
int32_t FireServerInfo(int32_t handle, qrv::devicelib::ServerInfoRecord* info);
int32_t FireConnectChange(int32_t handle, int32_t connected);

// Ends the batch of the packets fired so far: runs the stream batch-end
// callback the double accepted (TMCC_SetStreamBatchEndCallback, which only the
// double with extensions offers) on the library thread and waits for it.
// False when none is set. The double marks no packet itself: a test sets
// kPacketBatched on the packets it fires.
bool FireBatchEnd();

// Runs work on the library thread and waits for it.
void RunOnLibraryThread(const std::function<void()>& work);

// Context given at registration for handle's callback, or null.
void* RegisteredContext(int32_t handle);

}  // namespace fake_tmcc
