// Events as the tool prints them: one human line, or one JSON object.
#pragma once

#include <string>

#include "host/kit/event_hub.h"
#include "host/tool/json_text.h"

namespace qrv::host {

std::string DescribeEvent(const HostEvent& event);
JsonObject EventJson(const HostEvent& event);

}  // namespace qrv::host
