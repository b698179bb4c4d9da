// Debugger output, the equivalent of OutputDebugStringA: the bytes of the text
// go to standard error unchanged. Tests can capture them instead.
//
// Any thread may call OutputDebugText; it takes a short internal lock and calls
// the capture sink (if set) while holding it, so a sink must not write debug
// output itself.
#pragma once

#include <functional>
#include <string_view>

namespace qrv::platform {

void OutputDebugText(const char* text);

// Replaces where debug output goes; an empty function restores standard error.
void SetDebugOutputSink(std::function<void(std::string_view)> sink);

}  // namespace qrv::platform
