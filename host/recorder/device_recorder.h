// One device of the recorder: its own thread logs in (retrying with
// backoff), opens the live stream, watches it and opens it again when it
// stalls, writes health lines and applies retention; the plug-in's data
// callback feeds the device's Segmenter.
//
// Threads: the constructor, Start, RequestStop and Join on the main thread;
// the device thread makes every plug-in call for the device; OnConnection
// runs on the plug-in's monitor thread and only logs and wakes the device
// thread. The device's mutex guards the wake flags, never held across a
// plug-in call.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "devicelib/tmcc_extensions.h"
#include "host/kit/requests.h"
#include "host/recorder/config.h"
#include "host/recorder/json_log.h"
#include "host/recorder/output_folder.h"
#include "host/recorder/segmenter.h"

namespace qrv::recorder {

// How a device's failed steps are retried. Waits double from `first` up to
// the ceiling (`standardCeiling` for a standard camera, whose own server is
// checked cheaply by the device library), each spread by +-20 % so devices
// that failed together do not retry together. A login the device refuses
// for its credentials `refusalsBeforeWait` times in a row is tried again
// only every `refusedWait` (a camera may lock the account), and the refusal
// is logged once, then at most every `refusedReport`.
struct RetryTimes {
  std::chrono::milliseconds first{1000};
  std::chrono::milliseconds ceiling{30000};
  std::chrono::milliseconds standardCeiling{5000};
  int refusalsBeforeWait = 3;
  std::chrono::milliseconds refusedWait{600000};
  std::chrono::milliseconds refusedReport{3600000};
};

class DeviceRecorder {
 public:
  // Called with the slot after login (device) and before logout (null).
  using SlotRegistry = std::function<void(int32_t slot, DeviceRecorder* device)>;

  // `alarmListener`: the recorder's view of the plug-in's alarm listener
  // (-1 unknown, 0 failed, 1 listening), reported in every health line.
  DeviceRecorder(DeviceSettings settings, IAccess& access, JsonLog& log, SegmentCloser& closer,
                 std::chrono::milliseconds healthInterval, SlotRegistry registry,
                 const std::atomic<int>& alarmListener, RetryTimes retry = {},
                 devicelib::RegisterAddressFunction registerAddress = nullptr);
  ~DeviceRecorder();  // stops and joins when still running

  void Start();
  void RequestStop(const std::string& reason);  // "stop" or "removed"
  void Join();  // waits for the thread: logged out, last segment handed to the closer

  // Monitor thread: state 0 on line, 1 off line. Back on line after being
  // off line, the device thread retries a failed login or stream at once.
  void OnConnection(int32_t state);

  // Main thread (reload): the next health line comes at most this long
  // from now, and every one after it.
  void SetHealthInterval(std::chrono::milliseconds interval);

  const DeviceSettings& settings() const { return settings_; }
  SegmenterCounts Counts() const { return segmenter_.Counts(); }

 private:
  void Run();
  // Takes the output folder's lock and finishes files a crash left; false
  // when stopping first.
  bool TakeFolder();
  // false when the login failed; *refused when the device refused the
  // credentials.
  bool Login(bool* refused);
  bool OpenStream();
  void CloseStreamForRestart(const std::string& reason);
  void Logout();
  void WriteHealth();
  void ApplyRetention();
  // Waits until `until`, a stop or a wake-up; true when stopping.
  bool WaitUntil(std::chrono::steady_clock::time_point until);
  std::string Where() const;

  static int32_t QRV_CALLBACK OnData(int32_t dataType, const uint8_t* data, uint32_t length,
                                     StreamFrameInfo info, uintptr_t user);

  const DeviceSettings settings_;
  IAccess& access_;
  host::Requests requests_;
  JsonLog& log_;
  std::atomic<int64_t> healthIntervalMs_;
  SlotRegistry registry_;
  const std::atomic<int>& alarmListener_;
  const devicelib::RegisterAddressFunction registerAddress_;
  std::string pluginAddress_;  // the recorder thread's: what Login gave the plug-in
  // Taken by the device thread, released when the object goes (after the
  // closer has finished the device's segments).
  const RetryTimes retry_;
  std::unique_ptr<FolderLock> folderLock_;
  bool retentionWarned_ = false;
  Segmenter segmenter_;

  // Device thread only.
  int32_t slot_ = -1;
  bool streamOpen_ = false;
  std::chrono::steady_clock::time_point streamOpened_{};
  uint64_t logins_ = 0;
  uint64_t loginFailures_ = 0;
  uint64_t streamOpens_ = 0;
  uint64_t streamFailures_ = 0;
  uint64_t stalls_ = 0;
  int refusals_ = 0;  // in a row
  std::chrono::system_clock::time_point refusedSince_{};
  std::chrono::steady_clock::time_point refusalReported_{};

  std::atomic<int32_t> online_{-1};  // -1 unknown, 1 on line, 0 off line
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool woken_ = false;
  bool retryNow_ = false;  // back on line: the next retry is due now
  std::string stopReason_ = "stop";
  std::thread thread_;
};

}  // namespace qrv::recorder
