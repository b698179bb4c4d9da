// Shared state of the device-library test double: the call log, the scripts
// and the clients (handles) with their registered callbacks.
//
// Every field is guarded by State::mutex. Nothing outside the double sees
// this header.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "devicelib/tmcc_extensions.h"
#include "tests/fake_tmcc/fake_tmcc.h"

namespace fake_tmcc::internal {

struct Client {
  int32_t kind = 0;
  bool connected = false;
  bool released = false;

  TmccConnectCallback connectCallback = nullptr;
  void* connectContext = nullptr;
  TmccStreamCallback streamCallback = nullptr;
  void* streamContext = nullptr;
  TmccDataReadCallback dataReadCallback = nullptr;
  void* dataReadContext = nullptr;
  TmccEnumServerCallback enumCallback = nullptr;
  void* enumContext = nullptr;
  void* lastContext = nullptr;

  // Set by the matching close/stop call, cleared by the matching start call
  // or a new registration: while set, no callback of that kind starts.
  bool streamStopped = false;
  bool listenStopped = false;
  bool enumStopped = false;

  // Callbacks of this client running on the library thread right now.
  int running = 0;

  // Connection history reported by TMCC_GetConnectionStats.
  uint32_t disconnects = 0;
  uint32_t reconnects = 0;
  uint32_t lastOutageMs = 0;
};

struct State {
  std::mutex mutex;
  std::condition_variable callbackEnded;
  std::vector<Call> calls;
  std::map<std::string, int32_t> results;
  std::map<std::string, std::deque<int32_t>> queued;
  std::map<std::string, std::function<void()>> actions;
  std::map<int32_t, Client> clients;
  std::vector<int32_t> released;
  int32_t nextHandle = 1;
  // The stream batch end the double accepted, process-wide like the library's.
  qrv::devicelib::StreamBatchEndCallback batchEnd = nullptr;
  void* batchEndContext = nullptr;

  // The scripted result for name, one-shot results first. Caller holds mutex.
  std::optional<int32_t> TakeScript(const std::string& name);
  // The live (not released) client for handle, or null. Caller holds mutex.
  Client* Live(int32_t handle);
};

// The process-wide state; never destroyed, so calls made while the process
// exits still find it.
State& GetState();

}  // namespace fake_tmcc::internal
