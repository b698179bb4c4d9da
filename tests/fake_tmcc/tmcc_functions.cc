// The TMCC_* functions of the double: each records its call, runs the action
// a test set for it (outside the lock, so an action may fault, block or call
// the double again), then returns the scripted or default result.
//
// Threading: any thread; each call takes State::mutex briefly and never calls
// out while holding it. The close and stop calls then wait on it (released
// while waiting) for the client's running callbacks, except on the library
// thread, where the only callback that can be running is the caller's own.
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "devicelib/tmcc_errors.h"
#include "devicelib/tmcc_extensions.h"
#include "tests/fake_tmcc/fake_state.h"
#include "tests/fake_tmcc/library_thread.h"

namespace fake_tmcc::internal {
namespace {

using qrv::devicelib::kErrInvalidArgument;
using qrv::devicelib::kErrInvalidHandle;
using qrv::devicelib::kOk;

int64_t AsArg(const void* pointer) {
  return static_cast<int64_t>(reinterpret_cast<intptr_t>(pointer));
}

template <typename Record>
std::vector<uint8_t> CopyRecord(const Record* record) {
  if (record == nullptr) return {};
  const auto* bytes = reinterpret_cast<const uint8_t*>(record);
  return std::vector<uint8_t>(bytes, bytes + sizeof(Record));
}

// Appends the call to the log and runs its action, if any.
void Record(Call call) {
  call.thread = std::this_thread::get_id();
  std::function<void()> action;
  {
    State& state = GetState();
    std::lock_guard<std::mutex> lock(state.mutex);
    auto found = state.actions.find(call.name);
    if (found != state.actions.end()) action = found->second;
    state.calls.push_back(std::move(call));
  }
  if (action) action();
}

enum class Teardown { kNone, kWait };

// Works out the result of a call on a client: an unknown or released handle
// gives kErrInvalidHandle; otherwise the scripted result, or kOk. effect runs
// under the lock with the client and the result and may change both.
int32_t OnClient(const char* name, int32_t handle,
                 const std::function<void(Client&, int32_t&)>& effect,
                 Teardown teardown = Teardown::kNone) {
  State& state = GetState();
  std::unique_lock<std::mutex> lock(state.mutex);
  Client* client = state.Live(handle);
  if (client == nullptr) return kErrInvalidHandle;
  int32_t result = state.TakeScript(name).value_or(kOk);
  if (effect) effect(*client, result);
  if (teardown == Teardown::kWait && !OnLibraryThread()) {
    state.callbackEnded.wait(lock, [&] {
      auto found = state.clients.find(handle);
      return found == state.clients.end() || found->second.running == 0;
    });
  }
  return result;
}

int32_t Simple(const char* name, int32_t handle, std::initializer_list<int64_t> args) {
  Record(Call{name, std::vector<int64_t>(args), {}, {}});
  return OnClient(name, handle, nullptr);
}

}  // namespace
}  // namespace fake_tmcc::internal

using namespace fake_tmcc::internal;
using fake_tmcc::Call;
namespace devicelib = qrv::devicelib;

extern "C" {

TMCC_API int32_t TMCC_Init(int32_t clientKind) {
  Record(Call{"TMCC_Init", {clientKind}, {}, {}});
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  int32_t handle;
  if (auto scripted = state.TakeScript("TMCC_Init")) {
    handle = *scripted;
  } else {
    while (state.clients.count(state.nextHandle) != 0) ++state.nextHandle;
    handle = state.nextHandle++;
  }
  if (handle > 0) {
    Client client;
    client.kind = clientKind;
    state.clients[handle] = client;
  }
  return handle;
}

TMCC_API int32_t TMCC_Done(TmccHandle handle) {
  Record(Call{"TMCC_Done", {handle}, {}, {}});
  return OnClient(
      "TMCC_Done", handle,
      [&](Client& client, int32_t&) {
        client.released = true;
        client.connected = false;
        GetState().released.push_back(handle);
      },
      Teardown::kWait);
}

TMCC_API int32_t TMCC_RegisterConnectCallBack(TmccHandle handle, TmccConnectCallback callback,
                                              void* context) {
  Record(Call{"TMCC_RegisterConnectCallBack",
              {handle, AsArg(reinterpret_cast<void*>(callback)), AsArg(context)},
              {},
              {}});
  return OnClient("TMCC_RegisterConnectCallBack", handle, [&](Client& client, int32_t&) {
    client.connectCallback = callback;
    client.connectContext = context;
    client.lastContext = context;
  });
}

TMCC_API int32_t TMCC_SetTimeOut(TmccHandle handle, int32_t milliseconds) {
  return Simple("TMCC_SetTimeOut", handle, {handle, milliseconds});
}

TMCC_API int32_t TMCC_SetAutoReConnect(TmccHandle handle, int32_t enable) {
  return Simple("TMCC_SetAutoReConnect", handle, {handle, enable});
}

TMCC_API int32_t TMCC_IsConnect(TmccHandle handle) {
  Record(Call{"TMCC_IsConnect", {handle}, {}, {}});
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  Client* client = state.Live(handle);
  if (client == nullptr) return kErrInvalidHandle;
  if (auto scripted = state.TakeScript("TMCC_IsConnect")) return *scripted;
  return client->connected ? 1 : 0;
}

TMCC_API int32_t TMCC_DisConnect(TmccHandle handle) {
  Record(Call{"TMCC_DisConnect", {handle}, {}, {}});
  return OnClient("TMCC_DisConnect", handle,
                  [](Client& client, int32_t&) { client.connected = false; });
}

TMCC_API int32_t TMCC_Connect(TmccHandle handle, devicelib::LoginRecord* login, int32_t flags) {
  Record(Call{"TMCC_Connect", {handle, AsArg(login), flags}, CopyRecord(login), {}});
  return OnClient("TMCC_Connect", handle, [&](Client& client, int32_t& result) {
    if (login == nullptr) result = kErrInvalidArgument;
    if (result == kOk) client.connected = true;
  });
}

TMCC_API int32_t TMCC_SetDisplayShow(TmccHandle handle, int32_t show) {
  return Simple("TMCC_SetDisplayShow", handle, {handle, show});
}

TMCC_API int32_t TMCC_SetStreamBufferTime(TmccHandle handle, int32_t milliseconds) {
  return Simple("TMCC_SetStreamBufferTime", handle, {handle, milliseconds});
}

TMCC_API int32_t TMCC_RegisterStreamCallBack(TmccHandle handle, TmccStreamCallback callback,
                                             void* context) {
  Record(Call{"TMCC_RegisterStreamCallBack",
              {handle, AsArg(reinterpret_cast<void*>(callback)), AsArg(context)},
              {},
              {}});
  return OnClient("TMCC_RegisterStreamCallBack", handle, [&](Client& client, int32_t&) {
    client.streamCallback = callback;
    client.streamContext = context;
    client.lastContext = context;
    client.streamStopped = false;
  });
}

TMCC_API int32_t TMCC_ConnectStream(TmccHandle handle, devicelib::StreamConnectRecord* record,
                                    uint32_t playWnd) {
  Record(Call{"TMCC_ConnectStream", {handle, AsArg(record), playWnd}, CopyRecord(record), {}});
  return OnClient("TMCC_ConnectStream", handle, [&](Client& client, int32_t& result) {
    if (record == nullptr) result = kErrInvalidArgument;
    if (result == kOk) client.streamStopped = false;
  });
}

TMCC_API int32_t TMCC_CloseStream(TmccHandle handle) {
  Record(Call{"TMCC_CloseStream", {handle}, {}, {}});
  return OnClient(
      "TMCC_CloseStream", handle, [](Client& client, int32_t&) { client.streamStopped = true; },
      Teardown::kWait);
}

TMCC_API int32_t TMCC_MakeKeyFrame(TmccHandle handle) {
  return Simple("TMCC_MakeKeyFrame", handle, {handle});
}

TMCC_API int32_t TMCC_CapturePictureToFile(TmccHandle handle, const char* fileName,
                                           const char* format) {
  std::string text =
      std::string(fileName != nullptr ? fileName : "") + "|" + (format != nullptr ? format : "");
  Record(Call{"TMCC_CapturePictureToFile", {handle, AsArg(fileName), AsArg(format)}, {}, text});
  return OnClient("TMCC_CapturePictureToFile", handle, [&](Client&, int32_t& result) {
    if (fileName == nullptr || format == nullptr) result = kErrInvalidArgument;
  });
}

TMCC_API int32_t TMCC_SetMute(TmccHandle handle, int32_t mute) {
  return Simple("TMCC_SetMute", handle, {handle, mute});
}

TMCC_API int32_t TMCC_StartVoiceCom(TmccHandle handle, devicelib::LoginRecord* login) {
  Record(Call{"TMCC_StartVoiceCom", {handle, AsArg(login)}, CopyRecord(login), {}});
  return OnClient("TMCC_StartVoiceCom", handle, [&](Client&, int32_t& result) {
    if (login == nullptr) result = kErrInvalidArgument;
  });
}

TMCC_API int32_t TMCC_StopVoiceCom(TmccHandle handle) {
  return Simple("TMCC_StopVoiceCom", handle, {handle});
}

TMCC_API int32_t TMCC_PtzControl(TmccHandle handle, int32_t command, int32_t param1,
                                 int32_t param2) {
  return Simple("TMCC_PtzControl", handle, {handle, command, param1, param2});
}

TMCC_API int32_t TMCC_RegisterDataReadCallBack(TmccHandle handle, TmccDataReadCallback callback,
                                               void* context) {
  Record(Call{"TMCC_RegisterDataReadCallBack",
              {handle, AsArg(reinterpret_cast<void*>(callback)), AsArg(context)},
              {},
              {}});
  return OnClient("TMCC_RegisterDataReadCallBack", handle, [&](Client& client, int32_t&) {
    client.dataReadCallback = callback;
    client.dataReadContext = context;
    client.lastContext = context;
    client.listenStopped = false;
  });
}

TMCC_API int32_t TMCC_StartListen(TmccHandle handle, int32_t port) {
  Record(Call{"TMCC_StartListen", {handle, port}, {}, {}});
  return OnClient("TMCC_StartListen", handle, [](Client& client, int32_t& result) {
    if (result == kOk) client.listenStopped = false;
  });
}

TMCC_API int32_t TMCC_StopListen(TmccHandle handle) {
  Record(Call{"TMCC_StopListen", {handle}, {}, {}});
  return OnClient(
      "TMCC_StopListen", handle, [](Client& client, int32_t&) { client.listenStopped = true; },
      Teardown::kWait);
}

TMCC_API int32_t TMCC_RegisterEnumServerCallBack(TmccHandle handle, TmccEnumServerCallback callback,
                                                 void* context) {
  Record(Call{"TMCC_RegisterEnumServerCallBack",
              {handle, AsArg(reinterpret_cast<void*>(callback)), AsArg(context)},
              {},
              {}});
  return OnClient("TMCC_RegisterEnumServerCallBack", handle, [&](Client& client, int32_t&) {
    client.enumCallback = callback;
    client.enumContext = context;
    client.lastContext = context;
    client.enumStopped = false;
  });
}

TMCC_API int32_t TMCC_StartEnum(TmccHandle handle) {
  Record(Call{"TMCC_StartEnum", {handle}, {}, {}});
  return OnClient("TMCC_StartEnum", handle, [](Client& client, int32_t& result) {
    if (result == kOk) client.enumStopped = false;
  });
}

TMCC_API int32_t TMCC_StopEnum(TmccHandle handle) {
  Record(Call{"TMCC_StopEnum", {handle}, {}, {}});
  return OnClient(
      "TMCC_StopEnum", handle, [](Client& client, int32_t&) { client.enumStopped = true; },
      Teardown::kWait);
}

TMCC_API int32_t TMCC_RefreshEnum(TmccHandle handle) {
  return Simple("TMCC_RefreshEnum", handle, {handle});
}

#if !defined(FAKE_TMCC_WITHOUT_EXTENSIONS)
// The optional connection-history extension. Not logged: the connection
// monitor asks for it on every pass, and the call log stays what tests expect.
TMCC_API int32_t TMCC_GetConnectionStats(TmccHandle handle, devicelib::ConnectionStats* stats) {
  if (stats == nullptr || stats->size < 2 * sizeof(uint32_t)) return kErrInvalidArgument;
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  Client* client = state.Live(handle);
  if (client == nullptr) return kErrInvalidHandle;
  devicelib::ConnectionStats filled;
  filled.connected = client->connected ? 1 : 0;
  filled.disconnects = client->disconnects;
  filled.reconnects = client->reconnects;
  filled.lastOutageMs = client->lastOutageMs;
  const uint32_t size = stats->size < sizeof(filled) ? stats->size : sizeof(filled);
  filled.size = size;
  std::memcpy(stats, &filled, size);
  return kOk;
}

// The optional batched stream delivery: the batch end is kept (a refusal
// scripted for the name keeps the earlier one) and run by FireBatchEnd. Not
// logged either: Init asks for it.
TMCC_API int32_t TMCC_SetStreamBatchEndCallback(devicelib::StreamBatchEndCallback callback,
                                                void* context) {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  const int32_t result = state.TakeScript("TMCC_SetStreamBatchEndCallback").value_or(kOk);
  if (result == kOk) {
    state.batchEnd = callback;
    state.batchEndContext = context;
  }
  return result;
}

// Tests give each alarm message its record's length, as the library does.
TMCC_API int32_t TMCC_AlarmRecordLengthGiven() {
  return 1;
}

// And the login that pulled it, as the library does.
TMCC_API int32_t TMCC_AlarmRecordLoginGiven() {
  return 1;
}
#endif

}  // extern "C"
