#include "host/recorder/recorder.h"

#include <algorithm>
#include <atomic>
#include <vector>

namespace qrv::recorder {
namespace {

// The plug-in's event callbacks carry no user value.
std::atomic<Recorder*> gRecorder{nullptr};

}  // namespace

Recorder::Recorder(IAccess& access, JsonLog& log, SegmentCloser& closer,
                   devicelib::RegisterAddressFunction registerAddress)
    : access_(access), log_(log), closer_(closer), registerAddress_(registerAddress) {
  gRecorder.store(this);
}

Recorder::~Recorder() {
  StopAll();
  gRecorder.store(nullptr);
}

void Recorder::RegisterEvents() {
  access_.SetConnectionStatusCallback(&Recorder::ConnectionCallback, 0);
  access_.SetAlarmCallback(&Recorder::AlarmCallback, 0);
}

int32_t QRV_CALLBACK Recorder::ConnectionCallback(int32_t slot, int32_t, const char*, int32_t,
                                                  int32_t state) {
  if (Recorder* recorder = gRecorder.load()) recorder->OnConnection(slot, state);
  return 0;
}

int32_t QRV_CALLBACK Recorder::AlarmCallback(int32_t, int32_t slot, int32_t, int32_t value) {
  if (Recorder* recorder = gRecorder.load()) recorder->OnAlarm(slot, value);
  return 0;
}

void Recorder::Register(int32_t slot, DeviceRecorder* device) {
  std::lock_guard lock(registryMutex_);
  if (device != nullptr)
    bySlot_[slot] = device;
  else
    bySlot_.erase(slot);
}

void Recorder::OnConnection(int32_t slot, int32_t state) {
  std::lock_guard lock(registryMutex_);
  auto it = bySlot_.find(slot);
  if (it != bySlot_.end()) it->second->OnConnection(state);
}

void Recorder::OnAlarm(int32_t slot, int32_t value) {
  std::string device;
  {
    std::lock_guard lock(registryMutex_);
    auto it = bySlot_.find(slot);
    if (it != bySlot_.end()) device = it->second->settings().name;
  }
  nlohmann::ordered_json fields = {{"slot", slot}, {"value", value}};
  if (!device.empty()) fields["device"] = device;
  log_.Write("alarm", std::move(fields));
}

Recorder::Changes Recorder::Apply(const RecorderSettings& settings) {
  Changes changes;
  healthInterval_ = settings.healthInterval;
  std::map<std::string, const DeviceSettings*> wanted;
  for (const auto& d : settings.devices) wanted[d.name] = &d;

  // Stop what goes away or changes, all at once.
  std::vector<std::unique_ptr<DeviceRecorder>> stopping;
  for (auto it = devices_.begin(); it != devices_.end();) {
    auto found = wanted.find(it->first);
    if (found == wanted.end() || !(*found->second == it->second->settings())) {
      (found == wanted.end() ? changes.removed : changes.changed).push_back(it->first);
      it->second->RequestStop(found == wanted.end() ? "removed" : "changed");
      stopping.push_back(std::move(it->second));
      it = devices_.erase(it);
    } else {
      ++changes.unchanged;
      it->second->SetHealthInterval(healthInterval_);
      ++it;
    }
  }
  for (auto& device : stopping) device->Join();
  // Their last segments are finished before a restarted device takes the
  // folder again and looks for unfinished files.
  if (!stopping.empty()) closer_.Drain();
  stopping.clear();

  for (const auto& d : settings.devices) {
    if (devices_.count(d.name) != 0) continue;
    if (std::find(changes.changed.begin(), changes.changed.end(), d.name) == changes.changed.end())
      changes.added.push_back(d.name);
    auto device = std::make_unique<DeviceRecorder>(
        d, access_, log_, closer_, healthInterval_,
        [this](int32_t slot, DeviceRecorder* who) { Register(slot, who); }, alarmListener_,
        RetryTimes{}, registerAddress_);
    device->Start();
    devices_[d.name] = std::move(device);
  }
  return changes;
}

size_t Recorder::StopAll() {
  for (auto& [name, device] : devices_) device->RequestStop("stop");
  size_t failing = 0;
  for (auto& [name, device] : devices_) {
    device->Join();
    failing += device->Counts().failing ? 1 : 0;
  }
  // The folders stay locked until their last segments are finished.
  closer_.Drain();
  devices_.clear();
  return failing;
}

}  // namespace qrv::recorder
