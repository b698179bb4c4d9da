#include "tmcc/onvif/codec/operations.h"

#include <array>

#include "tmcc/onvif/codec/namespaces.h"

namespace qrv::tmcc::onvif {

namespace {

struct Entry {
  Operation operation;
  std::string_view ns;
  std::string_view name;
};

constexpr std::array kOperations = {
    Entry{Operation::kGetSystemDateAndTime, ns::kDevice, "GetSystemDateAndTime"},
    Entry{Operation::kGetCapabilities, ns::kDevice, "GetCapabilities"},
    Entry{Operation::kGetServices, ns::kDevice, "GetServices"},
    Entry{Operation::kGetDeviceInformation, ns::kDevice, "GetDeviceInformation"},
    Entry{Operation::kGetProfiles, ns::kMedia, "GetProfiles"},
    Entry{Operation::kGetStreamUri, ns::kMedia, "GetStreamUri"},
    Entry{Operation::kGetSnapshotUri, ns::kMedia, "GetSnapshotUri"},
    Entry{Operation::kContinuousMove, ns::kPtz, "ContinuousMove"},
    Entry{Operation::kStop, ns::kPtz, "Stop"},
    Entry{Operation::kGetPresets, ns::kPtz, "GetPresets"},
    Entry{Operation::kGotoPreset, ns::kPtz, "GotoPreset"},
    Entry{Operation::kSetPreset, ns::kPtz, "SetPreset"},
    Entry{Operation::kRemovePreset, ns::kPtz, "RemovePreset"},
    Entry{Operation::kCreatePullPointSubscription, ns::kEvents, "CreatePullPointSubscription"},
    Entry{Operation::kPullMessages, ns::kEvents, "PullMessages"},
    Entry{Operation::kRenew, ns::kNotification, "Renew"},
    Entry{Operation::kUnsubscribe, ns::kNotification, "Unsubscribe"},
};

}  // namespace

Operation IdentifyOperation(const XmlElement& body) {
  for (const auto& e : kOperations) {
    if (body.Is(e.ns, e.name)) return e.operation;
  }
  return Operation::kUnknown;
}

std::string_view OperationName(Operation operation) {
  for (const auto& e : kOperations) {
    if (e.operation == operation) return e.name;
  }
  return "unknown";
}

}  // namespace qrv::tmcc::onvif
