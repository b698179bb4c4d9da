// Which of our operations a request's body asks for, for a server's dispatch.
// Pure; any thread.
#pragma once

#include <string_view>

#include "tmcc/onvif/codec/xml_reader.h"

namespace qrv::tmcc::onvif {

enum class Operation {
  kUnknown,
  // Device service.
  kGetSystemDateAndTime,
  kGetCapabilities,
  kGetServices,
  kGetDeviceInformation,
  // Media service.
  kGetProfiles,
  kGetStreamUri,
  kGetSnapshotUri,
  // PTZ service.
  kContinuousMove,
  kStop,
  kGetPresets,
  kGotoPreset,
  kSetPreset,
  kRemovePreset,
  // Event service and its pull points.
  kCreatePullPointSubscription,
  kPullMessages,
  kRenew,
  kUnsubscribe,
};

Operation IdentifyOperation(const XmlElement& body);
std::string_view OperationName(Operation operation);

}  // namespace qrv::tmcc::onvif
