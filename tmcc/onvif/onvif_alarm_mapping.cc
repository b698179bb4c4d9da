#include "tmcc/onvif/onvif_alarm_mapping.h"

#include <array>
#include <optional>
#include <string>

#include "devicelib/tmcc_records.h"
#include "tmcc/onvif/codec/namespaces.h"

namespace qrv::tmcc {

namespace {

enum class Sort { kNone, kMotion, kTamper, kDigitalInput };

Sort SortOf(const onvif::NotificationMessage& m) {
  if (m.topicNamespace != onvif::ns::kTopics) return Sort::kNone;
  const std::string_view path = m.topicPath;
  if (path == "VideoSource/MotionAlarm" || path == "RuleEngine/CellMotionDetector/Motion" ||
      path == "RuleEngine/MotionRegionDetector/Motion") {
    return Sort::kMotion;
  }
  for (std::string_view prefix : {"VideoSource/GlobalSceneChange/", "VideoSource/ImageTooBlurry/",
                                  "VideoSource/ImageTooDark/", "VideoSource/ImageTooBright/"}) {
    if (path.starts_with(prefix)) return Sort::kTamper;
  }
  for (std::string_view whole : {"VideoSource/GlobalSceneChange", "VideoSource/ImageTooBlurry",
                                 "VideoSource/ImageTooDark", "VideoSource/ImageTooBright"}) {
    if (path == whole) return Sort::kTamper;
  }
  if (path == "Device/Trigger/DigitalInput" || path.starts_with("Device/IO/")) {
    return Sort::kDigitalInput;
  }
  return Sort::kNone;
}

std::optional<bool> ReadState(std::string_view text) {
  if (text == "true" || text == "1") return true;
  if (text == "false" || text == "0") return false;
  return std::nullopt;
}

// The data item holding the state: a known name, else the only item there is.
std::optional<bool> StateOf(const onvif::NotificationMessage& m) {
  static constexpr std::array<std::string_view, 8> kNames = {
      "State",    "IsMotion",    "LogicalState", "IsTamper",
      "IsActive", "IsTooBlurry", "IsTooDark",    "IsTooBright"};
  for (const auto& item : m.data) {
    for (std::string_view name : kNames) {
      if (item.name == name) return ReadState(item.value);
    }
  }
  if (m.data.size() == 1) return ReadState(m.data.front().value);
  return std::nullopt;
}

// The number a token ends with ("VideoSource_1" is 1), if it ends with one.
std::optional<uint32_t> TrailingNumber(std::string_view text) {
  size_t start = text.size();
  while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9') --start;
  const std::string_view digits = text.substr(start);
  if (digits.empty() || digits.size() > 9) return std::nullopt;
  uint32_t n = 0;
  for (char c : digits) n = n * 10 + static_cast<uint32_t>(c - '0');
  return n;
}

// Only items that name a source or an input: a rule's name ("Motion2") is no
// channel.
uint32_t ChannelOf(const onvif::NotificationMessage& m) {
  static constexpr std::array<std::string_view, 7> kNames = {
      "Source", "VideoSource", "VideoSourceToken", "VideoSourceConfigurationToken", "InputToken",
      "Index",  "Port"};
  for (const auto& item : m.source) {
    for (std::string_view name : kNames) {
      if (item.name != name) continue;
      if (auto n = TrailingNumber(item.value)) return *n;
    }
  }
  return 0;
}

}  // namespace

MappedNotification MapNotification(const onvif::NotificationMessage& message,
                                   std::string_view cameraAddress) {
  MappedNotification out;
  const Sort sort = SortOf(message);
  if (sort == Sort::kNone) return out;
  if (message.propertyOperation == "Deleted") {
    out.verdict = NotificationVerdict::kCleared;
    return out;
  }
  const std::optional<bool> state = StateOf(message);
  if (!state) {
    out.verdict = NotificationVerdict::kNoState;
    return out;
  }
  if (!*state) {
    out.verdict = NotificationVerdict::kCleared;
    return out;
  }
  out.verdict = NotificationVerdict::kAlarm;
  out.alarm.kind = devicelib::kAlarmKindAlarm;
  out.alarm.channel = ChannelOf(message);
  out.alarm.address = std::string(cameraAddress);
  switch (sort) {
    case Sort::kMotion:
      out.alarm.value = kOnvifMotionValue;
      break;
    case Sort::kTamper:
      out.alarm.value = kOnvifTamperValue;
      break;
    default:
      out.alarm.value = out.alarm.channel >= 1 ? -static_cast<int32_t>(out.alarm.channel) : -1;
      break;
  }
  return out;
}

}  // namespace qrv::tmcc
