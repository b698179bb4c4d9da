// Builder of the record that connects a live stream client.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "devicelib/tmcc_records.h"
#include "media/live_stream.h"

namespace qrv::media {

// The 280-byte StreamConnectRecord for the given texts and stream type, or
// nothing when a text does not fit its 32-byte field with its terminating NUL
// (32 bytes or more). Pure; any thread.
std::optional<devicelib::StreamConnectRecord> BuildStreamConnectRecord(const std::string& deviceIp,
                                                                       const std::string& user,
                                                                       const std::string& password,
                                                                       int32_t streamType);

}  // namespace qrv::media
