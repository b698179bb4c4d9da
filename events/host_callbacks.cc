#include "events/host_callbacks.h"

#include <atomic>

namespace qrv::events {

namespace {

// Null when the library is loaded; set once by the first non-null
// registration and never cleared by the plug-in.
std::atomic<DiscoveryCallback> g_discovery{nullptr};
std::atomic<AlarmCallback> g_alarm{nullptr};
std::atomic<ConnectionStatusCallback> g_connectionStatus{nullptr};

template <typename Callback>
void StoreFirst(std::atomic<Callback>& stored, Callback callback) {
  if (callback == nullptr) return;
  Callback none = nullptr;
  stored.compare_exchange_strong(none, callback);
}

}  // namespace

void RegisterDiscoveryCallback(DiscoveryCallback callback) {
  StoreFirst(g_discovery, callback);
}
void RegisterAlarmCallback(AlarmCallback callback) {
  StoreFirst(g_alarm, callback);
}
void RegisterConnectionStatusCallback(ConnectionStatusCallback callback) {
  StoreFirst(g_connectionStatus, callback);
}

DiscoveryCallback CurrentDiscoveryCallback() {
  return g_discovery.load();
}
AlarmCallback CurrentAlarmCallback() {
  return g_alarm.load();
}
ConnectionStatusCallback CurrentConnectionStatusCallback() {
  return g_connectionStatus.load();
}

void ForgetHostCallbacksForTests() {
  g_discovery.store(nullptr);
  g_alarm.store(nullptr);
  g_connectionStatus.store(nullptr);
}

}  // namespace qrv::events
