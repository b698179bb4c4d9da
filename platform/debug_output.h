// Debugger output, the equivalent of OutputDebugStringA. Without a debugger
// nothing of it is visible, so by default the text goes nowhere; the host
// chooses a destination with the environment variable QRV_DEBUG_OUTPUT:
//   unset, empty or "off"  nowhere
//   "stderr"               standard error
//   anything else          appended to the file of that path (a pipe such as
//                          /dev/fd/N works too; it is opened for each message)
// The bytes go out unchanged (the plug-in's messages are GBK text), followed
// by a line feed when the text does not end in one. Tests can capture the
// exact bytes instead.
//
// Any thread may call OutputDebugText; it takes a short internal lock and calls
// the capture sink (if set) while holding it, so a sink must not write debug
// output itself. The variable is read at each message, so set it before the
// plug-in is loaded and leave it alone while it runs.
#pragma once

#include <functional>
#include <string_view>

namespace qrv::platform {

inline constexpr char kDebugOutputVariable[] = "QRV_DEBUG_OUTPUT";

void OutputDebugText(const char* text);

// Replaces where debug output goes; an empty function restores the
// destination chosen by QRV_DEBUG_OUTPUT.
void SetDebugOutputSink(std::function<void(std::string_view)> sink);

}  // namespace qrv::platform
