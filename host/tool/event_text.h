// Events as the tool prints them: one human line, or one JSON object. The
// tool knows which device each of its slots logged in to, so events name the
// device's address and port, not only the slot.
#pragma once

#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "host/kit/event_hub.h"

namespace qrv::host {

// "2026-12-08T02:10:11.123Z" (UTC, milliseconds).
std::string IsoTime(std::chrono::system_clock::time_point at);

// slot -> "address:port" of the tool's logins.
using SlotDevices = std::map<int32_t, std::string>;

std::string DescribeEvent(const HostEvent& event, const SlotDevices& devices);
nlohmann::json EventJson(const HostEvent& event, const SlotDevices& devices);

}  // namespace qrv::host
