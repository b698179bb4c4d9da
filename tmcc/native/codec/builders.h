// One builder per message: each appends one whole frame (header and payload)
// to out and returns true, or returns false and appends nothing when a field
// is out of bounds (a text too long or holding a NUL, media too large).
#pragma once

#include <cstdint>
#include <vector>

#include "tmcc/common/codec/messages.h"

namespace qrv::tmcc::protocol {

bool BuildServerHello(std::vector<uint8_t>& out, uint32_t requestId, const ServerHello& m);
bool BuildLogin(std::vector<uint8_t>& out, uint32_t requestId, const Login& m);
bool BuildLoginResult(std::vector<uint8_t>& out, uint32_t requestId, const LoginResult& m);
bool BuildPing(std::vector<uint8_t>& out, uint32_t requestId);
bool BuildPong(std::vector<uint8_t>& out, uint32_t requestId);
bool BuildRequest(std::vector<uint8_t>& out, uint32_t requestId, const Request& m);
bool BuildAnswer(std::vector<uint8_t>& out, uint32_t requestId, const Answer& m);
bool BuildStreamData(std::vector<uint8_t>& out, uint32_t requestId, const StreamData& m);
bool BuildAlarm(std::vector<uint8_t>& out, uint32_t requestId, const Alarm& m);
bool BuildAlarmAck(std::vector<uint8_t>& out, uint32_t requestId);
bool BuildProbe(std::vector<uint8_t>& out, uint32_t requestId, const Probe& m);
bool BuildProbeAnswer(std::vector<uint8_t>& out, uint32_t requestId, const ProbeAnswer& m);

}  // namespace qrv::tmcc::protocol
