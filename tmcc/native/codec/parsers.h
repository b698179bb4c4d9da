// One parser per message payload: pure functions over the payload span of a
// decoded frame. Each checks the size before every read and refuses trailing
// bytes; spans in the results point into the given payload.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "tmcc/common/codec/messages.h"

namespace qrv::tmcc::protocol {

std::optional<ServerHello> ParseServerHello(std::span<const uint8_t> payload);
std::optional<Login> ParseLogin(std::span<const uint8_t> payload);
std::optional<LoginResult> ParseLoginResult(std::span<const uint8_t> payload);
std::optional<Request> ParseRequest(std::span<const uint8_t> payload);
std::optional<Answer> ParseAnswer(std::span<const uint8_t> payload);
std::optional<StreamData> ParseStreamData(std::span<const uint8_t> payload);
std::optional<Alarm> ParseAlarm(std::span<const uint8_t> payload);
std::optional<Probe> ParseProbe(std::span<const uint8_t> payload);
std::optional<ProbeAnswer> ParseProbeAnswer(std::span<const uint8_t> payload);

}  // namespace qrv::tmcc::protocol
