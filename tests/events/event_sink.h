// A process-wide sink for the three kinds of device event. The host callbacks
// are process-wide and the first registration wins, so a test binary
// registers the forwarders below once and every test reads the sink (cleared
// in its set-up) and may hook into the calls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "events/host_callbacks.h"
#include "qrvaccess/qrv_access.h"
#include "tests/support/wait.h"

namespace qrv::test {

struct StatusEvent {
  int32_t slot;
  int32_t deviceType;
  std::string text;
  int32_t port;
  int32_t state;
};

struct AlarmEvent {
  int32_t kind;
  int32_t slot;
  int32_t deviceType;
  int32_t value;
};

class EventSink {
 public:
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    status_.clear();
    alarms_.clear();
    discoveries_.clear();
    statusHook_ = nullptr;
    alarmHook_ = nullptr;
    discoveryHook_ = nullptr;
  }

  // Hooks run on the reporting thread, after the event is recorded.
  void OnStatus(std::function<void(const StatusEvent&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    statusHook_ = std::move(hook);
  }
  void OnAlarm(std::function<void(const AlarmEvent&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    alarmHook_ = std::move(hook);
  }
  void OnDiscovery(std::function<void(const DiscoveryRecord&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    discoveryHook_ = std::move(hook);
  }

  std::vector<StatusEvent> Status() {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
  }
  std::vector<AlarmEvent> Alarms() {
    std::lock_guard<std::mutex> lock(mutex_);
    return alarms_;
  }
  std::vector<DiscoveryRecord> Discoveries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return discoveries_;
  }

  void AddStatus(const StatusEvent& event) {
    std::function<void(const StatusEvent&)> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      status_.push_back(event);
      hook = statusHook_;
    }
    if (hook) hook(event);
  }
  void AddAlarm(const AlarmEvent& event) {
    std::function<void(const AlarmEvent&)> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      alarms_.push_back(event);
      hook = alarmHook_;
    }
    if (hook) hook(event);
  }
  void AddDiscovery(const DiscoveryRecord& record) {
    std::function<void(const DiscoveryRecord&)> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      discoveries_.push_back(record);
      hook = discoveryHook_;
    }
    if (hook) hook(record);
  }

 private:
  std::mutex mutex_;
  std::vector<StatusEvent> status_;
  std::vector<AlarmEvent> alarms_;
  std::vector<DiscoveryRecord> discoveries_;
  std::function<void(const StatusEvent&)> statusHook_;
  std::function<void(const AlarmEvent&)> alarmHook_;
  std::function<void(const DiscoveryRecord&)> discoveryHook_;
};

inline EventSink& Sink() {
  static EventSink sink;
  return sink;
}

inline int32_t QRV_CALLBACK ForwardStatus(int32_t slot, int32_t deviceType, const char* text,
                                          int32_t port, int32_t state) {
  Sink().AddStatus(StatusEvent{slot, deviceType, text != nullptr ? text : "<null>", port, state});
  return 0;
}

inline int32_t QRV_CALLBACK ForwardAlarm(int32_t kind, int32_t slot, int32_t deviceType,
                                         int32_t value) {
  Sink().AddAlarm(AlarmEvent{kind, slot, deviceType, value});
  return 0;
}

inline int32_t QRV_CALLBACK ForwardDiscovery(DiscoveryRecord record) {
  Sink().AddDiscovery(record);
  return 0;
}

inline void RegisterForwarders() {
  events::RegisterConnectionStatusCallback(ForwardStatus);
  events::RegisterAlarmCallback(ForwardAlarm);
  events::RegisterDiscoveryCallback(ForwardDiscovery);
}

// A one-shot gate a hook can wait on, with a bound so a broken test ends.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  bool Wait(std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, bound, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

}  // namespace qrv::test
