// The host's side of the plug-in's three process-wide event callbacks
// (alarms, discoveries, on-line/off-line changes). The plug-in keeps the
// first registration for the life of the process, so the hub is one
// process-wide object too.
//
// Threads: the callbacks run on the plug-in's and the device library's
// threads; they append under the hub's mutex, then call the listener without
// it. The discovery callback runs while the plug-in holds its discovery lock,
// so a listener must not call into the plug-in.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "qrvaccess/qrv_access.h"

namespace qrv::host {

struct HostEvent {
  enum Kind { kAlarm, kConnection, kDiscovery };
  Kind kind = kAlarm;
  std::chrono::steady_clock::time_point at;
  std::chrono::system_clock::time_point wallTime;  // when the hub received it
  int32_t slot = -1;                               // alarm and connection
  int32_t deviceType = 0;                          // every kind
  int32_t alarmKind = 0;                           // alarm: always 3
  int32_t alarmValue = 0;                          // alarm
  int32_t state = -1;                              // connection: 0 on line, 1 off line
  int32_t port = 0;          // connection: login port; discovery: control port
  std::string text;          // connection: the text argument
  DiscoveryRecord record{};  // discovery: the record as received

  // Discovery record fields as texts, bounded by their fields.
  std::string address() const;
  std::string mask() const;
  std::string mask2() const;
  std::string mac() const;
  std::string defaultUser() const;
  std::string defaultPassword() const;
};

class EventHub {
 public:
  static EventHub& Instance();

  // Registers the hub's three callbacks with the object. Returns the results
  // of the two registrations that report one (always 0 from the plug-in).
  int32_t RegisterWith(IAccess& access);

  // Called for every event, after it is stored, on the thread that reported it.
  void SetListener(std::function<void(const HostEvent&)> listener);

  std::vector<HostEvent> Events() const;
  size_t Count() const;

  // Waits until `done(events)` holds or `timeout` passes; true when it holds.
  bool WaitUntil(const std::function<bool(const std::vector<HostEvent>&)>& done,
                 std::chrono::milliseconds timeout) const;

  // Entry points handed to the plug-in.
  static int32_t QRV_CALLBACK OnAlarm(int32_t kind, int32_t slot, int32_t deviceType,
                                      int32_t value);
  static int32_t QRV_CALLBACK OnConnection(int32_t slot, int32_t deviceType, const char* text,
                                           int32_t port, int32_t state);
  static int32_t QRV_CALLBACK OnDiscovery(DiscoveryRecord record);

 private:
  EventHub() = default;
  void Add(HostEvent event);

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<HostEvent> events_;
  std::function<void(const HostEvent&)> listener_;
};

// Convenience predicates for WaitUntil.
bool HasAlarm(const std::vector<HostEvent>& events, int32_t slot, int32_t value);
bool HasConnection(const std::vector<HostEvent>& events, int32_t slot, int32_t state);
bool HasDiscovery(const std::vector<HostEvent>& events, const std::string& address);
int CountConnection(const std::vector<HostEvent>& events, int32_t slot, int32_t state);

}  // namespace qrv::host
