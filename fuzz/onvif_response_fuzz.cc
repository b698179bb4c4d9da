// Feeds arbitrary bytes as a device's answer to every ONVIF client parser.
// Whatever they accept stays within its bounds (counts and field sizes);
// answers the simulator's builders can express are rebuilt and must read
// back the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tmcc/onvif/codec/device_service.h"
#include "tmcc/onvif/codec/event_service.h"
#include "tmcc/onvif/codec/media_service.h"
#include "tmcc/onvif/codec/ptz_service.h"
#include "tmcc/onvif/codec/soap.h"

namespace onvif = qrv::tmcc::onvif;

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// Escaping may grow a rebuilt answer past what the reader takes; only
// answers within it are read back.
bool Readable(const std::string& xml) {
  return xml.size() <= onvif::XmlLimits{}.maxInputBytes;
}

void CheckField(const std::string& text) {
  Check(text.size() <= onvif::kMaxFieldBytes);
}

template <typename T>
void CheckError(const onvif::Result<T>& r) {
  if (r) return;
  Check(!r.error().message.empty());
  Check((r.error().kind == onvif::ErrorKind::kFault) == r.error().fault.has_value());
  if (r.error().fault) {
    CheckField(r.error().fault->reason);
    Check(r.error().fault->subcodes.size() <= 8);
  }
}

void Device(std::string_view xml) {
  auto time = onvif::ParseGetSystemDateAndTimeResponse(xml);
  CheckError(time);
  if (time) {
    auto again =
        onvif::ParseGetSystemDateAndTimeResponse(onvif::BuildGetSystemDateAndTimeResponse(*time));
    Check(again && again->utcUnix == time->utcUnix && again->ntp == time->ntp &&
          again->timeZone == time->timeZone);
  }
  auto caps = onvif::ParseGetCapabilitiesResponse(xml);
  CheckError(caps);
  if (caps) {
    for (const auto* f : {&caps->device, &caps->media, &caps->ptz, &caps->events}) CheckField(*f);
  }
  auto services = onvif::ParseGetServicesResponse(xml);
  CheckError(services);
  if (services) {
    Check(services->size() <= onvif::kMaxServices);
    const std::string built = onvif::BuildGetServicesResponse(*services);
    auto again = onvif::ParseGetServicesResponse(built);
    Check(!Readable(built) || (again && again->size() == services->size()));
    for (size_t i = 0; again && i < services->size(); ++i) {
      Check((*again)[i].ns == (*services)[i].ns && (*again)[i].xaddr == (*services)[i].xaddr);
    }
  }
  auto info = onvif::ParseGetDeviceInformationResponse(xml);
  CheckError(info);
  if (info) {
    const std::string built = onvif::BuildGetDeviceInformationResponse(*info);
    auto again = onvif::ParseGetDeviceInformationResponse(built);
    Check(!Readable(built) ||
          (again && again->manufacturer == info->manufacturer && again->model == info->model &&
           again->firmwareVersion == info->firmwareVersion &&
           again->serialNumber == info->serialNumber && again->hardwareId == info->hardwareId));
  }
}

void Media(std::string_view xml) {
  auto profiles = onvif::ParseGetProfilesResponse(xml);
  CheckError(profiles);
  if (profiles) {
    Check(profiles->size() <= onvif::kMaxProfiles);
    for (const auto& p : *profiles) {
      Check(!p.token.empty());
      CheckField(p.token);
      CheckField(p.name);
      Check(p.width >= 0 && p.height >= 0);
    }
  }
  for (bool stream : {true, false}) {
    auto uri =
        stream ? onvif::ParseGetStreamUriResponse(xml) : onvif::ParseGetSnapshotUriResponse(xml);
    CheckError(uri);
    if (!uri) continue;
    Check(!uri->uri.empty());
    const std::string built = onvif::BuildGetStreamUriResponse(*uri);
    auto again = onvif::ParseGetStreamUriResponse(built);
    Check(!Readable(built) ||
          (again && again->uri == uri->uri && again->timeoutMs == uri->timeoutMs));
  }
}

void Ptz(std::string_view xml) {
  auto presets = onvif::ParseGetPresetsResponse(xml);
  CheckError(presets);
  if (presets) {
    Check(presets->size() <= onvif::kMaxPresets);
    const std::string built = onvif::BuildGetPresetsResponse(*presets);
    auto again = onvif::ParseGetPresetsResponse(built);
    Check(!Readable(built) || (again && again->size() == presets->size()));
    for (size_t i = 0; again && i < presets->size(); ++i) {
      Check((*again)[i].token == (*presets)[i].token && (*again)[i].name == (*presets)[i].name);
    }
  }
  auto token = onvif::ParseSetPresetResponse(xml);
  CheckError(token);
  if (token) Check(!token->empty() && token->size() <= onvif::kMaxFieldBytes);
  CheckError(onvif::ParseContinuousMoveResponse(xml));
  CheckError(onvif::ParseStopResponse(xml));
  CheckError(onvif::ParseGotoPresetResponse(xml));
  CheckError(onvif::ParseRemovePresetResponse(xml));
}

void Events(std::string_view xml) {
  auto subscription = onvif::ParseCreatePullPointSubscriptionResponse(xml);
  CheckError(subscription);
  if (subscription) {
    Check(!subscription->reference.address.empty());
    Check(subscription->reference.referenceParameters.size() <= onvif::kMaxReferenceParameterBytes);
    // Whatever the device asked us to echo, our next request stays well-formed
    // and carries it (with the declarations it relies on, beyond our limits).
    onvif::XmlLimits relaxed;
    relaxed.maxNamespacesInScope = 1 << 16;
    relaxed.maxAttributes = 1 << 16;
    auto request = onvif::ParseSoapMessage(
        onvif::BuildPullMessagesRequest(std::nullopt, subscription->reference, 1000, 10), relaxed);
    Check(request.ok());
    Check(onvif::ReadRequestHeader(*request).addressing.to == subscription->reference.address);
  }
  auto pulled = onvif::ParsePullMessagesResponse(xml);
  CheckError(pulled);
  if (pulled) {
    Check(pulled->messages.size() <= onvif::kMaxNotifications);
    for (const auto& m : pulled->messages) {
      Check(m.source.size() <= onvif::kMaxSimpleItems && m.data.size() <= onvif::kMaxSimpleItems);
      Check(m.topicPath.size() <= m.topic.size());
      for (const auto& i : m.data) Check(!i.name.empty());
    }
  }
  CheckError(onvif::ParseRenewResponse(xml));
  CheckError(onvif::ParseUnsubscribeResponse(xml));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view xml(reinterpret_cast<const char*>(data), size);
  Device(xml);
  Media(xml);
  Ptz(xml);
  Events(xml);
  return 0;
}
