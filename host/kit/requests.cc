#include "host/kit/requests.h"

#include <charconv>

#include "devicelib/tmcc_errors.h"

namespace qrv::host {
namespace {

std::string Text(int64_t value) {
  return std::to_string(value);
}

}  // namespace

int32_t Reply::OutputInt(const std::string& key, int32_t fallback) const {
  auto it = output.find(key);
  if (it == output.end()) return fallback;
  int32_t value = 0;
  const std::string& text = it->second;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return fallback;
  return value;
}

Reply Requests::Execute(ParameterMap input) {
  Reply reply;
  reply.input = std::move(input);
  reply.code = access_.Execute(reply.input, reply.output);
  return reply;
}

Reply Requests::Login(const Credentials& device) {
  return Execute({{"Operation", Text(kQrvOpLogin)},
                  {"DeviceIP", device.address},
                  {"User", device.user},
                  {"Password", device.password},
                  {"DevicePort", Text(device.port)}});
}

Reply Requests::Logout(int32_t slot) {
  return Execute({{"Operation", Text(kQrvOpLogout)}, {"LOGINID", Text(slot)}});
}

Reply Requests::OpenStream(int32_t slot, const Credentials& device, int32_t streamType) {
  return Execute({{"Operation", Text(kQrvOpOpenLiveStream)},
                  {"Channel", "0"},
                  {"LOGINID", Text(slot)},
                  {"PlayWnd", "0"},
                  {"DeviceIP", device.address},
                  {"User", device.user},
                  {"Password", device.password},
                  {"StreamType", Text(streamType)}});
}

Reply Requests::CloseStream(int32_t slot) {
  return Execute({{"Operation", Text(kQrvOpCloseLiveStream)},
                  {"Handle", Text(slot)},
                  {"LOGINID", Text(slot)}});
}

Reply Requests::KeyFrame(int32_t slot) {
  return Execute({{"Operation", Text(kQrvOpRequestKeyFrame)}, {"Handle", Text(slot)}});
}

Reply Requests::Snapshot(int32_t slot, const std::string& jpegPath) {
  return Execute(
      {{"Operation", Text(kQrvOpSnapshot)}, {"Handle", Text(slot)}, {"FileName", jpegPath}});
}

Reply Requests::StartRecording(int32_t slot, const std::string& pathWithoutEnding) {
  return Execute({{"Operation", Text(kQrvOpStartRecording)},
                  {"Handle", Text(slot)},
                  {"FileName", pathWithoutEnding}});
}

Reply Requests::StopRecording(int32_t slot) {
  return Execute({{"Operation", Text(kQrvOpStopRecording)}, {"Handle", Text(slot)}});
}

Reply Requests::AudioOn(int32_t slot) {
  return Execute({{"Operation", Text(kQrvOpAudioOn)}, {"Handle", Text(slot)}});
}

Reply Requests::AudioOff(int32_t slot) {
  return Execute({{"Operation", Text(kQrvOpAudioOff)}, {"Handle", Text(slot)}});
}

Reply Requests::Ptz(int32_t slot, int32_t command, int32_t inValue, int32_t speed) {
  return Execute({{"Operation", Text(kQrvOpPtz)},
                  {"LOGINID", Text(slot)},
                  {"Channel", "0"},
                  {"PTZCommand", Text(command)},
                  {"INValue", Text(inValue)},
                  {"Speed", Text(speed)}});
}

Reply Requests::TalkStart(int32_t slot) {
  return Execute({{"Operation", Text(kQrvOpStartVoiceTalk)}, {"LOGINID", Text(slot)}});
}

Reply Requests::TalkStop(int32_t slot) {
  return Execute({{"Operation", Text(kQrvOpStopVoiceTalk)}, {"Handle", Text(slot)}});
}

Reply Requests::RefreshDiscovery() {
  return Execute({{"Operation", Text(kQrvOpRefreshDiscovery)}});
}

std::string DescribeExecuteResult(int32_t code) {
  switch (code) {
    case kQrvResultOk:
      return "done";
    case kQrvResultSlotOutOfRange:
      return "slot number out of range";
    case kQrvResultNoFreeSlot:
      return "no free slot (all 256 in use)";
    case kQrvResultFailed:
      return "refused (unknown operation, the device library refused, or a fault was caught)";
    case qrv::devicelib::kErrBasicRefused:
      return "the device asks for Basic authentication, which sends the password readable to "
             "anyone on the network; none was sent. Allow it for this device with "
             "allow_basic = true (qrv-recorder), --allow-basic (qrv-host) or the environment "
             "variable TMCC_ALLOW_BASIC";
    default:
      return qrv::devicelib::DescribeResult(code);
  }
}

}  // namespace qrv::host
