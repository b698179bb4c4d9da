#include "tmcc/common/local_alarms.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "tmcc/native/alarm_listener.h"

namespace qrv::tmcc {

namespace {

struct Hub {
  std::mutex mutex;
  std::vector<std::weak_ptr<AlarmListener>> listeners;  // guarded by mutex
};

Hub& TheHub() {
  static Hub* hub = new Hub;  // never destroyed: listeners may leave at exit
  return *hub;
}

}  // namespace

void JoinLocalAlarms(const std::shared_ptr<AlarmListener>& listener) {
  Hub& hub = TheHub();
  std::lock_guard lock(hub.mutex);
  std::erase_if(hub.listeners, [](const auto& w) { return w.expired(); });
  hub.listeners.push_back(listener);
}

void LeaveLocalAlarms(const AlarmListener* listener) {
  Hub& hub = TheHub();
  std::lock_guard lock(hub.mutex);
  std::erase_if(hub.listeners, [listener](const auto& w) {
    auto l = w.lock();
    return !l || l.get() == listener;
  });
}

size_t DeliverLocalAlarm(const protocol::Alarm& alarm, int32_t loginHandle) {
  std::vector<std::shared_ptr<AlarmListener>> targets;
  {
    Hub& hub = TheHub();
    std::lock_guard lock(hub.mutex);
    for (const auto& w : hub.listeners) {
      if (auto l = w.lock()) targets.push_back(std::move(l));
    }
  }
  size_t handed = 0;
  for (auto& l : targets) {
    if (l->Inject(alarm, loginHandle)) ++handed;
  }
  return handed;
}

}  // namespace qrv::tmcc
