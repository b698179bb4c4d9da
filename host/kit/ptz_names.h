// Names of the plug-in's host PTZ commands (1..25), for people typing them.
//
// What each command does is the device's business; these are the meanings
// our devices give the library codes the plug-in translates them to. A
// movement starts with INValue 1 and stops with INValue 0 (the plug-in turns
// INValue 0 into the library's stop flag).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace qrv::host {

enum class PtzKind {
  kMove,    // start, run for a while, stop; speed 1..9
  kPreset,  // INValue is the preset number 1..255
  kScan,    // INValue 1 starts the scan (at "Speed" - 1), 0 stops it
  kSwitch,  // INValue 1 on, 0 off
};

struct PtzName {
  const char* name;
  int32_t command;  // host PTZ command number
  PtzKind kind;
  int32_t inValue;  // for kScan and kSwitch: the value this name sends
  const char* meaning;
};

std::span<const PtzName> PtzNames();
std::optional<PtzName> FindPtzName(const std::string& name);

}  // namespace qrv::host
