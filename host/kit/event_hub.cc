#include "host/kit/event_hub.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qrv::host {
namespace {

std::string BoundedText(const char* field, size_t width) {
  return std::string(field, strnlen(field, width));
}

}  // namespace

std::string HostEvent::address() const {
  return BoundedText(record.address, sizeof record.address);
}
std::string HostEvent::mask() const {
  return BoundedText(record.mask, sizeof record.mask);
}
std::string HostEvent::mask2() const {
  return BoundedText(record.mask2, sizeof record.mask2);
}
std::string HostEvent::defaultUser() const {
  return BoundedText(record.defaultUser, sizeof record.defaultUser);
}
std::string HostEvent::defaultPassword() const {
  return BoundedText(record.defaultPassword, sizeof record.defaultPassword);
}
std::string HostEvent::mac() const {
  char text[18];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", record.mac[0], record.mac[1],
                record.mac[2], record.mac[3], record.mac[4], record.mac[5]);
  return text;
}

EventHub& EventHub::Instance() {
  // Never destroyed: the plug-in may call back until the process ends.
  static EventHub* hub = new EventHub();
  return *hub;
}

int32_t EventHub::RegisterWith(IAccess& access) {
  access.SetDiscoveryCallback(&EventHub::OnDiscovery);
  int32_t alarm = access.SetAlarmCallback(&EventHub::OnAlarm, 0);
  int32_t connection = access.SetConnectionStatusCallback(&EventHub::OnConnection, 0);
  return alarm != 0 ? alarm : connection;
}

void EventHub::SetListener(std::function<void(const HostEvent&)> listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

std::vector<HostEvent> EventHub::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

size_t EventHub::Count() const {
  std::lock_guard lock(mutex_);
  return events_.size();
}

bool EventHub::WaitUntil(const std::function<bool(const std::vector<HostEvent>&)>& done,
                         std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return done(events_); });
}

void EventHub::Add(HostEvent event) {
  event.at = std::chrono::steady_clock::now();
  event.wallTime = std::chrono::system_clock::now();
  std::function<void(const HostEvent&)> listener;
  {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
    listener = listener_;
  }
  changed_.notify_all();
  if (listener) listener(event);
}

int32_t QRV_CALLBACK EventHub::OnAlarm(int32_t kind, int32_t slot, int32_t deviceType,
                                       int32_t value) {
  HostEvent event;
  event.kind = HostEvent::kAlarm;
  event.alarmKind = kind;
  event.slot = slot;
  event.deviceType = deviceType;
  event.alarmValue = value;
  Instance().Add(std::move(event));
  return 0;
}

int32_t QRV_CALLBACK EventHub::OnConnection(int32_t slot, int32_t deviceType, const char* text,
                                            int32_t port, int32_t state) {
  HostEvent event;
  event.kind = HostEvent::kConnection;
  event.slot = slot;
  event.deviceType = deviceType;
  event.text = text != nullptr ? text : "";
  event.port = port;
  event.state = state;
  Instance().Add(std::move(event));
  return 0;
}

int32_t QRV_CALLBACK EventHub::OnDiscovery(DiscoveryRecord record) {
  HostEvent event;
  event.kind = HostEvent::kDiscovery;
  event.record = record;
  event.deviceType = record.deviceType;
  event.port = record.port;
  Instance().Add(std::move(event));
  return 0;
}

bool HasAlarm(const std::vector<HostEvent>& events, int32_t slot, int32_t value) {
  return std::any_of(events.begin(), events.end(), [&](const HostEvent& e) {
    return e.kind == HostEvent::kAlarm && e.slot == slot && e.alarmValue == value;
  });
}

bool HasConnection(const std::vector<HostEvent>& events, int32_t slot, int32_t state) {
  return CountConnection(events, slot, state) > 0;
}

int CountConnection(const std::vector<HostEvent>& events, int32_t slot, int32_t state) {
  return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const HostEvent& e) {
    return e.kind == HostEvent::kConnection && e.slot == slot && e.state == state;
  }));
}

bool HasDiscovery(const std::vector<HostEvent>& events, const std::string& address) {
  return std::any_of(events.begin(), events.end(), [&](const HostEvent& e) {
    return e.kind == HostEvent::kDiscovery && e.address() == address;
  });
}

}  // namespace qrv::host
