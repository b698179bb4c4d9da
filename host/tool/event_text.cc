#include "host/tool/event_text.h"

#include "host/kit/text_escape.h"

namespace qrv::host {

std::string DescribeEvent(const HostEvent& event) {
  switch (event.kind) {
    case HostEvent::kAlarm:
      return "alarm: slot " + std::to_string(event.slot) + ", value " +
             std::to_string(event.alarmValue) + " (kind " + std::to_string(event.alarmKind) +
             ", device type " + std::to_string(event.deviceType) + ")";
    case HostEvent::kConnection:
      return std::string(event.state == 0 ? "on line" : "off line") + ": slot " +
             std::to_string(event.slot) + ", port " + std::to_string(event.port) +
             " (device type " + std::to_string(event.deviceType) + ")";
    case HostEvent::kDiscovery:
      return "found: " + EscapeControl(event.address()) + "  mac " + event.mac() + "  mask " +
             EscapeControl(event.mask()) + "  port " + std::to_string(event.port);
  }
  return "unknown event";
}

JsonObject EventJson(const HostEvent& event) {
  JsonObject json;
  switch (event.kind) {
    case HostEvent::kAlarm:
      json.Text("event", "alarm")
          .Int("slot", event.slot)
          .Int("value", event.alarmValue)
          .Int("kind", event.alarmKind)
          .Int("deviceType", event.deviceType);
      break;
    case HostEvent::kConnection:
      json.Text("event", event.state == 0 ? "online" : "offline")
          .Int("slot", event.slot)
          .Int("port", event.port)
          .Int("state", event.state)
          .Int("deviceType", event.deviceType);
      break;
    case HostEvent::kDiscovery:
      json.Text("event", "discovered")
          .Text("address", event.address())
          .Text("mac", event.mac())
          .Text("mask", event.mask())
          .Int("port", event.port)
          .Int("deviceType", event.deviceType);
      break;
  }
  return json;
}

}  // namespace qrv::host
