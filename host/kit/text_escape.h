// Texts that came from the network, made safe for a terminal: control bytes
// (escape sequences included) are shown as \xNN instead of being sent raw.
#pragma once

#include <string>
#include <string_view>

namespace qrv::host {

std::string EscapeControl(std::string_view text);

}  // namespace qrv::host
