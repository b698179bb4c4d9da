// How a camera that answered our WS-Discovery probe is reported: the same
// record as a device of our protocol. Its address is the one the answer came
// from, never one the answer names; the XAddrs only lend their port when
// they name that same address. Pure; any thread.
#pragma once

#include <string>

#include "devicelib/tmcc_records.h"
#include "tmcc/onvif/codec/discovery.h"

namespace qrv::tmcc {

inline constexpr uint16_t kOnvifDefaultControlPort = 80;
inline constexpr uint16_t kOnvifDefaultSecurePort = 443;  // an https XAddr without a port
inline constexpr uint16_t kOnvifDefaultStreamPort = 554;

// senderAddress: the datagram's source address, dotted. identity: the
// endpoint reference, cut to its field; model: an
// onvif://www.onvif.org/hardware/ scope, else a name/ scope, else empty.
devicelib::ServerInfoRecord OnvifServerInfo(const onvif::DiscoveredDevice& device,
                                            const std::string& senderAddress);

}  // namespace qrv::tmcc
