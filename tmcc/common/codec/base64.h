// Base64 (the standard alphabet, with padding), as the standard protocols
// carry binary in text: SDP parameter sets, Basic credentials, WS-Security
// nonces and digests. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qrv::tmcc::protocol {

std::string Base64Encode(std::span<const uint8_t> data);

// The bytes text encodes, or nothing when it is not base64: a character
// outside the alphabet, a length that is not a multiple of 4, padding
// anywhere but at the end, or non-zero bits left over in the last character.
std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text);

}  // namespace qrv::tmcc::protocol
