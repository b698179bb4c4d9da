// The recorder service: one DeviceRecorder per configured device, changed
// in place on reload (devices added, removed or changed are started or
// stopped; the others are not touched), stopped all at once at the end.
//
// Threads: Apply and StopAll on the main thread. The plug-in's event
// callbacks run on its threads and only look up the slot's device under the
// registry mutex (which device threads take at login and logout).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "host/recorder/config.h"
#include "host/recorder/device_recorder.h"
#include "host/recorder/json_log.h"
#include "host/recorder/segment_closer.h"

namespace qrv::recorder {

class Recorder {
 public:
  // registerAddress: the device library's TMCC_RegisterAddress, null when it
  // has none (addresses longer than the plug-in takes then fail their logins).
  Recorder(IAccess& access, JsonLog& log, SegmentCloser& closer,
           devicelib::RegisterAddressFunction registerAddress = nullptr);
  ~Recorder();

  // Registers the event callbacks with the plug-in (first registration in
  // the process wins; the recorder is the only one).
  void RegisterEvents();

  // Brings the running devices in line with `settings`; returns what changed.
  struct Changes {
    std::vector<std::string> added, removed, changed;
    size_t unchanged = 0;
  };
  Changes Apply(const RecorderSettings& settings);

  // Stops every device at once and waits for all of them and for their last
  // segments; returns how many devices were failing to write at the end
  // (their last attempt to open a segment failed).
  size_t StopAll();

  // The plug-in's alarm listener as operation 101 reported it after Init;
  // every device's health line carries it.
  void SetAlarmListener(bool listening) { alarmListener_.store(listening ? 1 : 0); }

  size_t size() const { return devices_.size(); }

 private:
  void Register(int32_t slot, DeviceRecorder* device);
  void OnConnection(int32_t slot, int32_t state);
  void OnAlarm(int32_t slot, int32_t value);
  static int32_t QRV_CALLBACK ConnectionCallback(int32_t slot, int32_t deviceType, const char* text,
                                                 int32_t port, int32_t state);
  static int32_t QRV_CALLBACK AlarmCallback(int32_t kind, int32_t slot, int32_t deviceType,
                                            int32_t value);

  IAccess& access_;
  JsonLog& log_;
  SegmentCloser& closer_;
  std::chrono::milliseconds healthInterval_{60000};
  std::map<std::string, std::unique_ptr<DeviceRecorder>> devices_;  // main thread only
  std::atomic<int> alarmListener_{-1};
  const devicelib::RegisterAddressFunction registerAddress_;

  std::mutex registryMutex_;
  std::map<int32_t, DeviceRecorder*> bySlot_;
};

}  // namespace qrv::recorder
