// The control interface tests use to script the double, read its call log
// and fire the library's callbacks.
//
// Threading: any thread; each function takes State::mutex briefly. The Fire*
// functions run the callback on the library thread without the lock held and
// wait for it on the calling thread.
#include <climits>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/fake_tmcc/fake_state.h"
#include "tests/fake_tmcc/fake_tmcc.h"
#include "tests/fake_tmcc/library_thread.h"

namespace fake_tmcc {
namespace {

using internal::Client;
using internal::GetState;
using internal::State;

// Counts a callback of handle as running from the moment it is chosen under
// the lock until it returns (or unwinds), and wakes close calls waiting for it.
class RunningCallback {
 public:
  explicit RunningCallback(int32_t handle) : handle_(handle) {}
  ~RunningCallback() {
    State& state = GetState();
    std::lock_guard<std::mutex> lock(state.mutex);
    auto found = state.clients.find(handle_);
    if (found != state.clients.end() && found->second.running > 0) --found->second.running;
    state.callbackEnded.notify_all();
  }
  RunningCallback(const RunningCallback&) = delete;
  RunningCallback& operator=(const RunningCallback&) = delete;

 private:
  int32_t handle_;
};

// On the library thread: picks the callback with choose (under the lock) and
// invokes it with invoke (without the lock). choose returns false when no
// callback may start.
template <typename Callback>
int32_t Deliver(int32_t handle, const std::function<bool(Client&, Callback&, void*&)>& choose,
                const std::function<int32_t(Callback, void*)>& invoke) {
  int32_t result = INT32_MIN;
  internal::RunOnLibraryThreadAndWait([&] {
    Callback callback = nullptr;
    void* context = nullptr;
    {
      State& state = GetState();
      std::lock_guard<std::mutex> lock(state.mutex);
      Client* client = state.Live(handle);
      if (client == nullptr || !choose(*client, callback, context) || callback == nullptr) return;
      ++client->running;
    }
    RunningCallback running(handle);
    result = invoke(callback, context);
  });
  return result;
}

}  // namespace

void Reset() {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.calls.clear();
  state.results.clear();
  state.queued.clear();
  state.actions.clear();
  state.clients.clear();
  state.released.clear();
  state.nextHandle = 1;
  state.batchEnd = nullptr;
  state.batchEndContext = nullptr;
  state.callbackEnded.notify_all();
}

std::vector<Call> Calls() {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.calls;
}

std::vector<std::string> CallNames() {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  std::vector<std::string> names;
  names.reserve(state.calls.size());
  for (const Call& call : state.calls) names.push_back(call.name);
  return names;
}

std::vector<Call> CallsNamed(const std::string& name) {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  std::vector<Call> matching;
  for (const Call& call : state.calls) {
    if (call.name == name) matching.push_back(call);
  }
  return matching;
}

std::vector<std::string> CallNamesFrom(std::thread::id thread) {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  std::vector<std::string> names;
  for (const Call& call : state.calls) {
    if (call.thread == thread) names.push_back(call.name);
  }
  return names;
}

void ClearCalls() {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.calls.clear();
}

void SetResult(const std::string& name, int32_t result) {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.results[name] = result;
}

void QueueResult(const std::string& name, int32_t result) {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.queued[name].push_back(result);
}

void SetAction(const std::string& name, std::function<void()> action) {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (action) {
    state.actions[name] = std::move(action);
  } else {
    state.actions.erase(name);
  }
}

void SetConnected(int32_t handle, bool connected) {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  auto found = state.clients.find(handle);
  if (found != state.clients.end()) found->second.connected = connected;
}

void SimulateOutage(int32_t handle, uint32_t outageMs) {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  auto found = state.clients.find(handle);
  if (found == state.clients.end()) return;
  ++found->second.disconnects;
  ++found->second.reconnects;
  found->second.lastOutageMs = outageMs;
}

void CountDisconnect(int32_t handle) {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  auto found = state.clients.find(handle);
  if (found != state.clients.end()) ++found->second.disconnects;
}

void CountReconnect(int32_t handle, uint32_t outageMs) {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  auto found = state.clients.find(handle);
  if (found == state.clients.end()) return;
  ++found->second.reconnects;
  found->second.lastOutageMs = outageMs;
}

std::vector<int32_t> ReleasedHandles() {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.released;
}

int32_t FireStreamPacket(int32_t handle, qrv::devicelib::StreamPacket* packet) {
  return Deliver<TmccStreamCallback>(
      handle,
      [](Client& client, TmccStreamCallback& callback, void*& context) {
        if (client.streamStopped) return false;
        callback = client.streamCallback;
        context = client.streamContext;
        return true;
      },
      [&](TmccStreamCallback callback, void* context) {
        return callback(handle, packet, context);
      });
}

int32_t FireAlarmMessage(int32_t handle, qrv::devicelib::AlarmMessage* message) {
  return Deliver<TmccDataReadCallback>(
      handle,
      [](Client& client, TmccDataReadCallback& callback, void*& context) {
        if (client.listenStopped) return false;
        callback = client.dataReadCallback;
        context = client.dataReadContext;
        return true;
      },
      [&](TmccDataReadCallback callback, void* context) {
        return callback(handle, message, context);
      });
}

int32_t FireServerInfo(int32_t handle, qrv::devicelib::ServerInfoRecord* info) {
  return Deliver<TmccEnumServerCallback>(
      handle,
      [](Client& client, TmccEnumServerCallback& callback, void*& context) {
        if (client.enumStopped) return false;
        callback = client.enumCallback;
        context = client.enumContext;
        return true;
      },
      [&](TmccEnumServerCallback callback, void* context) { return callback(info, context); });
}

int32_t FireConnectChange(int32_t handle, int32_t connected) {
  return Deliver<TmccConnectCallback>(
      handle,
      [&](Client& client, TmccConnectCallback& callback, void*& context) {
        // The library reports what it now knows, so IsConnect agrees.
        client.connected = connected != 0;
        callback = client.connectCallback;
        context = client.connectContext;
        return true;
      },
      [&](TmccConnectCallback callback, void* context) {
        return callback(handle, connected, 0, context);
      });
}

bool FireBatchEnd() {
  qrv::devicelib::StreamBatchEndCallback callback = nullptr;
  void* context = nullptr;
  {
    State& state = GetState();
    std::lock_guard<std::mutex> lock(state.mutex);
    callback = state.batchEnd;
    context = state.batchEndContext;
  }
  if (callback == nullptr) return false;
  internal::RunOnLibraryThreadAndWait([&] { callback(context); });
  return true;
}

void RunOnLibraryThread(const std::function<void()>& work) {
  internal::RunOnLibraryThreadAndWait(work);
}

void* RegisteredContext(int32_t handle) {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  auto found = state.clients.find(handle);
  return found == state.clients.end() ? nullptr : found->second.lastContext;
}

}  // namespace fake_tmcc
