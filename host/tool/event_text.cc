#include "host/tool/event_text.h"

#include <time.h>

#include <cstdio>

#include "host/kit/text_escape.h"

namespace qrv::host {
namespace {

std::string DeviceOf(int32_t slot, const SlotDevices& devices) {
  auto it = devices.find(slot);
  return it != devices.end() ? it->second : "";
}

}  // namespace

std::string IsoTime(std::chrono::system_clock::time_point at) {
  auto sinceEpoch = at.time_since_epoch();
  auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
  time_t whole = static_cast<time_t>(seconds.count());
  struct tm utc {};
  gmtime_r(&whole, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(millis));
  return text;
}

std::string DescribeEvent(const HostEvent& event, const SlotDevices& devices) {
  std::string time = IsoTime(event.wallTime) + "  ";
  std::string device = DeviceOf(event.slot, devices);
  std::string who = device.empty() ? "slot " + std::to_string(event.slot)
                                   : device + " (slot " + std::to_string(event.slot) + ")";
  switch (event.kind) {
    case HostEvent::kAlarm:
      return time + "alarm: " + who + ", value " + std::to_string(event.alarmValue);
    case HostEvent::kConnection:
      return time + (event.state == 0 ? "on line: " : "off line: ") + who;
    case HostEvent::kDiscovery:
      return time + "found: " + EscapeControl(event.address()) + "  mac " + event.mac() +
             "  mask " + EscapeControl(event.mask()) + "  port " + std::to_string(event.port);
  }
  return time + "unknown event";
}

nlohmann::json EventJson(const HostEvent& event, const SlotDevices& devices) {
  nlohmann::json json = {{"time", IsoTime(event.wallTime)}};
  std::string device = DeviceOf(event.slot, devices);
  switch (event.kind) {
    case HostEvent::kAlarm:
      json["event"] = "alarm";
      json["slot"] = event.slot;
      if (!device.empty()) json["device"] = device;
      json["value"] = event.alarmValue;
      json["kind"] = event.alarmKind;
      json["deviceType"] = event.deviceType;
      break;
    case HostEvent::kConnection:
      json["event"] = event.state == 0 ? "online" : "offline";
      json["slot"] = event.slot;
      if (!device.empty()) json["device"] = device;
      json["state"] = event.state;
      json["deviceType"] = event.deviceType;
      break;
    case HostEvent::kDiscovery:
      json["event"] = "discovered";
      json["address"] = event.address();
      json["mac"] = event.mac();
      json["mask"] = event.mask();
      json["port"] = event.port;
      json["deviceType"] = event.deviceType;
      break;
  }
  return json;
}

}  // namespace qrv::host
