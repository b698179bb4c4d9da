#include "plugin/dispatcher.h"

#include <optional>
#include <string>

#include "device/device_table.h"
#include "device/library_reason.h"
#include "device/login.h"
#include "device/slot_owner.h"
#include "device/unsupported_operation.h"
#include "device/voice_talk.h"
#include "events/event_service.h"
#include "fault/kt_exception.h"
#include "media/device_requests.h"
#include "media/live_stream.h"
#include "media/ptz.h"
#include "media/record_batch.h"
#include "media/recording.h"
#include "plugin/parameters.h"
#include "plugin/status.h"

namespace qrv::plugin {

namespace {

using device::IsValidSlot;
using device::kResultBadSlot;
using device::kResultFailed;
using device::kResultNoFreeSlot;
using device::kResultOk;

constexpr char kRecordingSuffix[] = ".264";

// A slot number read from key: nothing when the text holds no number or the
// number is outside 0..255.
std::optional<int32_t> ReadSlot(ParameterReader& in, const char* key) {
  const auto number = in.Long(key);
  if (!number || !IsValidSlot(*number)) return std::nullopt;
  return number;
}

// The device library takes texts as C strings: a NUL inside would silently
// cut the text short, so such a text is refused before any library call.
bool HoldsNul(const std::string& text) {
  return text.find('\0') != std::string::npos;
}

// 1: reserve a slot, log in, fill the slot.
int32_t Login(ParameterReader& in, ParameterMap& out) {
  const int32_t slot = device::AllocateSlot();
  if (slot == device::kNoSlot) return kResultNoFreeSlot;
  int32_t handle = device::kNoHandle;
  const std::string deviceIp = in.Text("DeviceIP");
  const std::string user = in.Text("User");
  const std::string password = in.Text("Password");
  const auto port = in.Int("DevicePort");
  if (!port || HoldsNul(deviceIp) || HoldsNul(user) || HoldsNul(password)) {
    device::FreeSlot(slot);
    return kResultFailed;
  }
  const int32_t result =
      device::LoginDevice(&handle, deviceIp, user, password, *port, events::EventServiceInstance());
  if (result != 0) {
    device::FreeSlot(slot);
    return result;
  }
  out["LOGINID"] = FormatLong(slot);
  device::StoreLogin(slot, handle, deviceIp, user, password, *port);
  out["ChanNum"] = FormatLong(1);
  return kResultOk;
}

// 2: release what the slot holds (in the owner's one order, waiting for the
// host's data callback), then free it.
int32_t Logout(ParameterReader& in) {
  const auto slot = ReadSlot(in, "LOGINID");
  if (!slot) return kResultBadSlot;
  device::ReleaseSlotResources(*slot);
  device::FreeSlot(*slot);
  return kResultOk;
}

// 3: open a live stream on the slot. Every open that fails past the slot
// test, a refused request included, reports -1 under "Handle".
int32_t OpenLiveStream(ParameterReader& in, ParameterMap& out) {
  in.Int("Channel");  // read first; its value plays no part in the connect
  const auto slot = ReadSlot(in, "LOGINID");
  if (!slot) return kResultBadSlot;
  const auto refuse = [&out] {
    out["Handle"] = FormatLong(-1);
    return kResultFailed;
  };
  const auto playWnd = in.ULong("PlayWnd");
  if (!playWnd) return refuse();
  const std::string deviceIp = in.Text("DeviceIP");
  const std::string user = in.Text("User");
  const std::string password = in.Text("Password");
  const auto streamType = in.Int("StreamType");
  if (!streamType) return refuse();
  // The channel is recorded in the slot after the connect; a text without a
  // number is refused now, before any device work or slot change.
  const auto channel = in.Int("Channel");
  if (!channel) return refuse();
  if (HoldsNul(deviceIp) || HoldsNul(user) || HoldsNul(password)) return refuse();

  media::StorePlayWindow(*slot, *playWnd);
  int32_t handle = device::kNoHandle;
  const int32_t result =
      media::OpenLiveStream(*streamType, *slot, &handle, user, password, deviceIp, *playWnd);
  int32_t reported = -1;
  if (result == 0) {
    const int32_t channelNow = in.Int("Channel").value_or(*channel);
    const int32_t streamTypeNow = in.Int("StreamType").value_or(*streamType);
    media::StoreLiveStream(*slot, handle, channelNow, streamTypeNow);
    reported = *slot;
  }
  out["Handle"] = FormatLong(reported);
  return result == 0 ? kResultOk : kResultFailed;
}

// 4: close the slot's live stream; 0 in every case.
int32_t CloseLiveStream(ParameterReader& in) {
  const auto slot = ReadSlot(in, "Handle");
  if (slot) media::CloseLiveStream(*slot);
  in.Long("LOGINID");  // read, not used
  return kResultOk;
}

// 18: ask the device for a key frame.
int32_t RequestKeyFrame(ParameterReader& in) {
  const auto slot = ReadSlot(in, "Handle");
  if (!slot) return kResultBadSlot;
  return media::RequestKeyFrame(*slot);
}

// 20: have the library write a JPEG snapshot.
int32_t Snapshot(ParameterReader& in) {
  const auto slot = ReadSlot(in, "Handle");
  if (!slot) return kResultBadSlot;
  const std::string& fileName = in.Text("FileName");
  if (HoldsNul(fileName)) return kResultFailed;
  return media::CaptureSnapshot(*slot, fileName);
}

// 21: record into "FileName" + ".264"; the host's map keeps the full name.
// An empty name (a hidden ".264" in the working folder) or one holding a NUL
// is refused with the map unchanged; so is a file that cannot be opened.
int32_t StartRecording(ParameterReader& in) {
  const auto slot = ReadSlot(in, "Handle");
  if (!slot) return kResultBadSlot;
  std::string& fileName = in.Text("FileName");
  if (fileName.empty() || HoldsNul(fileName)) return kResultFailed;
  fileName += kRecordingSuffix;
  return media::StartRecording(fileName, *slot);
}

// 22: stop the slot's recording.
int32_t StopRecording(ParameterReader& in) {
  const auto slot = ReadSlot(in, "Handle");
  if (!slot) return kResultBadSlot;
  return media::StopRecording(*slot);
}

// 23 and 24: audio on (mute 0) and off (mute 1).
int32_t SetMute(ParameterReader& in, int32_t mute) {
  const auto slot = ReadSlot(in, "Handle");
  if (!slot) return kResultBadSlot;
  return device::SetDeviceMute(*slot, mute);
}

// 29: one PTZ command on the slot's login client; the library's result is
// passed through.
int32_t Ptz(ParameterReader& in) {
  const auto slot = ReadSlot(in, "LOGINID");
  if (!slot) return kResultBadSlot;
  in.Int("Channel");  // read, not used
  const auto command = in.Int("PTZCommand");
  if (!command) return kResultFailed;
  // Both read for every command, refused only where the command sends them.
  const auto value = in.Int("INValue");
  const auto speed = in.Int("Speed");
  if (!value && media::PtzCommandUsesValue(*command)) return kResultFailed;
  if (!speed && media::PtzCommandUsesSpeed(*command)) return kResultFailed;
  const int32_t loginHandle = device::Slot(*slot).loginHandle.load();
  const int32_t result =
      media::SendPtzCommand(loginHandle, *command, value.value_or(0), speed.value_or(0));
  device::NoteUnsupported(*slot, result, "PTZ: the device does not offer this operation");
  // -1 is ours (a command with no library call); the library's results are others.
  if (result != 0 && result != kResultFailed) device::ReportLibraryReason(*slot, "PTZ");
  return result;
}

// 33 and 34: accepted without work.
int32_t Accept(ParameterReader& in) {
  in.Long("LOGINID");  // read, not used
  return kResultOk;
}

// 35: start voice talk; "Handle" echoes the number read, even when refused
// (-1 when the text held no number).
int32_t StartVoiceTalk(ParameterReader& in, ParameterMap& out) {
  const auto number = in.Long("LOGINID");
  const int32_t result =
      number && IsValidSlot(*number) ? device::StartVoiceTalk(*number) : kResultBadSlot;
  out["Handle"] = FormatLong(number.value_or(-1));
  return result;
}

// 36: stop voice talk.
int32_t StopVoiceTalk(ParameterReader& in) {
  const auto slot = ReadSlot(in, "Handle");
  if (!slot) return kResultBadSlot;
  return device::StopVoiceTalk(*slot);
}

// 42: forget the devices reported so far and enumerate again. Completed work
// reports 0, as every other operation does.
int32_t RefreshDiscovery() {
  if (events::EventServiceInstance() == nullptr) return kResultFailed;  // before Init
  events::RefreshDiscovery();
  return kResultOk;
}

// 100: one slot's status.
int32_t DeviceStatus(ParameterReader& in, ParameterMap& out) {
  const auto slot = ReadSlot(in, "Handle");
  if (!slot) return kResultBadSlot;
  return WriteDeviceStatus(*slot, out);
}

int32_t Dispatch(ParameterMap& input, ParameterMap& output) {
  ParameterReader in(input);
  const auto code = in.Int("Operation");
  if (!code) return kResultFailed;
  switch (*code) {
    case kQrvOpLogin:
      return Login(in, output);
    case kQrvOpLogout:
      return Logout(in);
    case kQrvOpOpenLiveStream:
      return OpenLiveStream(in, output);
    case kQrvOpCloseLiveStream:
      return CloseLiveStream(in);
    case kQrvOpRequestKeyFrame:
      return RequestKeyFrame(in);
    case kQrvOpSnapshot:
      return Snapshot(in);
    case kQrvOpStartRecording:
      return StartRecording(in);
    case kQrvOpStopRecording:
      return StopRecording(in);
    case kQrvOpAudioOn:
      return SetMute(in, 0);
    case kQrvOpAudioOff:
      return SetMute(in, 1);
    case kQrvOpPtz:
      return Ptz(in);
    case kQrvOpAcceptedA:
    case kQrvOpAcceptedB:
      return Accept(in);
    case kQrvOpStartVoiceTalk:
      return StartVoiceTalk(in, output);
    case kQrvOpStopVoiceTalk:
      return StopVoiceTalk(in);
    case kQrvOpRefreshDiscovery:
      return RefreshDiscovery();
    case kQrvOpDeviceStatus:
      return DeviceStatus(in, output);
    case kQrvOpServiceStatus:
      return WriteServiceStatus(output);
    default:
      return kResultFailed;
  }
}

}  // namespace

int32_t Execute(ParameterMap& input, ParameterMap& output) {
  return fault::RunGuarded(
      [&] {
        // A host inside its data callback: the frames it has seen so far are
        // in the recording before it stops, switches or logs out.
        media::FlushRecordWrites();
        return Dispatch(input, output);
      },
      kResultFailed);
}

}  // namespace qrv::plugin
