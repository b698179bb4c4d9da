// A process-wide sink for the three kinds of device event. The host callbacks
// are process-wide and the first registration wins, so a test binary
// registers the forwarders below once; every test clears the sink in its
// set-up and may hook into the calls.
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

namespace qrv::test {

struct StatusEvent {
  int32_t slot, deviceType;
  std::string text;
  int32_t port, state;
};

struct AlarmEvent {
  int32_t kind, slot, deviceType, value;
};

// The events of one kind, in arrival order; the hook runs on the reporting
// thread after the event is recorded, without the recorder's lock.
template <typename Event>
class Recorder {
 public:
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
    hook_ = nullptr;
  }
  void Hook(std::function<void(const Event&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
  }
  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  void Add(const Event& event) {
    std::function<void(const Event&)> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(event);
      hook = hook_;
    }
    if (hook) hook(event);
  }

 private:
  std::mutex mutex_;
  std::vector<Event> events_;
  std::function<void(const Event&)> hook_;
};

struct EventSink {
  Recorder<StatusEvent> status;
  Recorder<AlarmEvent> alarms;
  Recorder<DiscoveryRecord> discoveries;
  void Clear() {
    status.Clear();
    alarms.Clear();
    discoveries.Clear();
  }
};

inline EventSink& Sink() {
  static EventSink sink;
  return sink;
}

inline int32_t QRV_CALLBACK ForwardStatus(int32_t slot, int32_t deviceType, const char* text,
                                          int32_t port, int32_t state) {
  Sink().status.Add({slot, deviceType, text != nullptr ? text : "<null>", port, state});
  return 0;
}
inline int32_t QRV_CALLBACK ForwardAlarm(int32_t kind, int32_t slot, int32_t deviceType,
                                         int32_t value) {
  Sink().alarms.Add({kind, slot, deviceType, value});
  return 0;
}
inline int32_t QRV_CALLBACK ForwardDiscovery(DiscoveryRecord record) {
  Sink().discoveries.Add(record);
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
