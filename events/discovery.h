// Device discovery: each enumeration answer becomes one DiscoveryCallback
// report per identity between refreshes. Runs on the library's thread.
#pragma once

#include <cstdint>
#include <string>

#include "devicelib/tmcc_records.h"
#include "platform/callconv.h"
#include "qrvaccess/qrv_access.h"

namespace qrv::events {

// Builds the host's 252-byte record from a server answer (pure).
DiscoveryRecord BuildDiscoveryRecord(const devicelib::ServerInfoRecord& info);

// The identity text at offset 37, read only within its field (pure).
std::string DiscoveryIdentity(const devicelib::ServerInfoRecord& info);

// Always returns 1; no exception leaves it. context is the EventService.
int32_t QRV_CALLBACK DiscoveryEnumCallback(devicelib::ServerInfoRecord* info, void* context);

}  // namespace qrv::events
