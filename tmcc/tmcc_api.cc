// The exported functions of the device library. Each finds its client by
// handle and hands the work to it; no exception leaves a function (a failure
// becomes a result code).
//
// Threading: every function may be called from any host thread. Functions
// that talk to a device block the caller for at most about the client's
// time-out and hold no lock meanwhile. Stop functions (TMCC_CloseStream,
// TMCC_StopListen, TMCC_StopEnum, TMCC_Done) return only after the client's
// running callbacks have returned; from inside such a callback they do not
// wait for it. A request made from inside a callback of the same client
// (connect, stream or request) is refused with kErrBusy.
//
// Streams follow their device's login: a successful TMCC_Connect to a
// standard camera (RTSP or ONVIF) remembers, by address, the backend it
// chose (at most kRememberedTargets addresses, the oldest forgotten; a login
// with our protocol forgets the address). TMCC_ConnectStream with the stream
// port 0 or 6002 to a remembered address then streams the way the login
// went: over ONVIF to the login's device service, or over RTSP to the
// login's URL (the record's stream type cannot change an RTSP URL).

#include <strings.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "devicelib/tmcc_api.h"
#include "devicelib/tmcc_errors.h"
#include "devicelib/tmcc_extensions.h"
#include "tmcc/common/device_target.h"
#include "tmcc/common/enum_client.h"
#include "tmcc/common/handle_registry.h"
#include "tmcc/common/login_client.h"
#include "tmcc/common/long_address.h"
#include "tmcc/common/record_fields.h"
#include "tmcc/common/runtime.h"
#include "tmcc/common/snapshot_file.h"
#include "tmcc/common/stream_client.h"
#include "tmcc/common/target_memory.h"
#include "tmcc/native/alarm_listener.h"

namespace dl = qrv::devicelib;
namespace pr = qrv::tmcc::protocol;
using qrv::tmcc::AlarmListener;
using qrv::tmcc::CallResult;
using qrv::tmcc::Client;
using qrv::tmcc::EnumClient;
using qrv::tmcc::HandleRegistry;
using qrv::tmcc::LoginClient;
using qrv::tmcc::SessionClient;
using qrv::tmcc::SessionParams;
using qrv::tmcc::StreamClient;

namespace {

constexpr int32_t kMaxTimeoutMs = 600000;
static_assert(qrv::tmcc::kMaxLongAddresses == dl::kMaxRegisteredAddresses &&
              qrv::tmcc::kMaxLongAddressBytes == dl::kMaxRegisteredAddress);
// StreamConnectRecord::flag, bit 0: a standard camera's RTP over UDP instead
// of interleaved on the RTSP connection. Hosts that leave it 0 get TCP.
constexpr uint8_t kFlagRtpOverUdp = 0x01;

// The client behind a handle if it is of type T, else nullptr and *error set.
template <typename T>
std::shared_ptr<T> Lookup(TmccHandle handle, int32_t* error) {
  auto client = HandleRegistry::Instance().Find(handle);
  if (!client) {
    *error = dl::kErrInvalidHandle;
    return nullptr;
  }
  auto typed = std::dynamic_pointer_cast<T>(client);
  if (!typed) *error = dl::kErrWrongClientKind;
  return typed;
}

// Runs body, turning any escaping exception into a result.
template <typename F>
int32_t Guard(F&& body) {
  try {
    return body();
  } catch (...) {
    return dl::kErrIo;
  }
}

// Address, port and credentials of a device, checked, and the protocol it
// speaks (see device_target.h); with remembered, an address our protocol
// would be spoken to goes the way a login to it went (see the top of this
// file). chosen: the target taken.
int32_t MakeParams(const char (&ip)[32], int32_t port, const char (&user)[32],
                   const char (&password)[32], SessionParams* out,
                   qrv::tmcc::DeviceTarget* chosen = nullptr, bool remembered = false) {
  auto ipText = qrv::tmcc::FieldText(ip);
  auto userText = qrv::tmcc::FieldText(user);
  auto passwordText = qrv::tmcc::FieldText(password);
  if (!ipText || !userText || !passwordText) return dl::kErrInvalidArgument;
  auto target = qrv::tmcc::ChooseDeviceTarget(*ipText, port);
  if (!target) return dl::kErrInvalidArgument;
  if (remembered && target->backend == qrv::tmcc::Backend::kNative) {
    if (auto login = qrv::tmcc::TargetMemory::Instance().Find(target->address)) target = login;
  }
  if (chosen != nullptr) *chosen = *target;
  out->address = target->address;
  out->port = target->port;
  out->backend = target->backend;
  out->rtspUrl = std::move(target->rtspUrl);
  out->onvifPath = std::move(target->onvifPath);
  out->user = *userText;
  out->password = *passwordText;
  // Read at each connect: a host sets it before loading the library.
  const char* allowBasic = std::getenv(dl::kAllowBasicVariable);
  out->allowBasic =
      allowBasic != nullptr && qrv::tmcc::BasicAllowedFor(allowBasic, *ipText, target->port);
  if (out->user.empty() && !target->urlUser.empty()) {
    out->user = std::move(target->urlUser);
    out->password = std::move(target->urlPassword);
  }
  return dl::kOk;
}

int32_t Request(TmccHandle handle, pr::RequestCode code, int32_t a0, int32_t a1, int32_t a2,
                std::string text, CallResult* out = nullptr) {
  int32_t error = dl::kOk;
  auto client = Lookup<LoginClient>(handle, &error);
  if (!client) return error;
  pr::Request request;
  request.code = code;
  request.arg0 = a0;
  request.arg1 = a1;
  request.arg2 = a2;
  request.text = std::move(text);
  return client->Call(request, out);
}

}  // namespace

extern "C" {

TMCC_API int32_t TMCC_Init(int32_t clientKind) {
  try {
    std::shared_ptr<Client> client;
    switch (clientKind) {
      case dl::kClientLogin:
        client = std::make_shared<LoginClient>();
        break;
      case dl::kClientEnumeration:
        client = std::make_shared<EnumClient>();
        break;
      case dl::kClientStream:
        client = std::make_shared<StreamClient>();
        break;
      case dl::kClientAlarmListener:
        client = std::make_shared<AlarmListener>();
        break;
      default:
        return 0;
    }
    return HandleRegistry::Instance().Add(std::move(client));
  } catch (...) {
    return 0;
  }
}

TMCC_API int32_t TMCC_Done(TmccHandle handle) {
  return Guard([&] {
    auto client = HandleRegistry::Instance().Remove(handle);
    if (!client) return dl::kErrInvalidHandle;
    client->Shutdown();
    return dl::kOk;
  });
}

TMCC_API int32_t TMCC_RegisterConnectCallBack(TmccHandle handle, TmccConnectCallback callback,
                                              void* context) {
  return Guard([&] {
    int32_t error = dl::kOk;
    auto client = Lookup<LoginClient>(handle, &error);
    if (!client) return error;
    client->SetConnectCallback(callback, context);
    return dl::kOk;
  });
}

TMCC_API int32_t TMCC_SetTimeOut(TmccHandle handle, int32_t milliseconds) {
  return Guard([&] {
    int32_t error = dl::kOk;
    auto client = Lookup<Client>(handle, &error);
    if (!client) return error;
    if (milliseconds <= 0 || milliseconds > kMaxTimeoutMs) return dl::kErrInvalidArgument;
    client->SetTimeout(std::chrono::milliseconds(milliseconds));
    return dl::kOk;
  });
}

TMCC_API int32_t TMCC_SetAutoReConnect(TmccHandle handle, int32_t enable) {
  return Guard([&] {
    int32_t error = dl::kOk;
    auto client = Lookup<SessionClient>(handle, &error);
    if (!client) return error;
    client->SetAutoReconnect(enable != 0);
    return dl::kOk;
  });
}

// 1 while connected, 0 otherwise (also for an unknown handle, so a caller
// testing for non-zero never mistakes an error for a connection).
TMCC_API int32_t TMCC_IsConnect(TmccHandle handle) {
  return Guard([&] {
    int32_t error = dl::kOk;
    auto client = Lookup<SessionClient>(handle, &error);
    return client && client->IsUp() ? 1 : 0;
  });
}

TMCC_API int32_t TMCC_DisConnect(TmccHandle handle) {
  return Guard([&] {
    int32_t error = dl::kOk;
    auto client = Lookup<SessionClient>(handle, &error);
    if (!client) return error;
    client->Stop();
    return dl::kOk;
  });
}

// Connecting a client that is connected (or reconnecting) first disconnects it.
TMCC_API int32_t TMCC_Connect(TmccHandle handle, dl::LoginRecord* login, int32_t flags) {
  (void)flags;
  return Guard([&] {
    int32_t error = dl::kOk;
    auto client = Lookup<LoginClient>(handle, &error);
    if (!client) return error;
    if (login == nullptr || login->size != sizeof(dl::LoginRecord)) {
      return dl::kErrInvalidArgument;
    }
    SessionParams params;
    qrv::tmcc::DeviceTarget target;
    int32_t r = MakeParams(login->deviceIp, login->devicePort, login->user, login->password,
                           &params, &target);
    if (r != dl::kOk) return r;
    params.purpose = pr::Purpose::kControl;
    if (client->IsUp() || client->Wanted()) client->Stop();
    r = client->Open(std::move(params));
    if (r == dl::kOk) {
      auto& memory = qrv::tmcc::TargetMemory::Instance();
      if (target.backend == qrv::tmcc::Backend::kNative) {
        memory.Forget(target.address);
      } else {
        memory.Remember(target);
      }
    }
    return r;
  });
}

TMCC_API int32_t TMCC_SetDisplayShow(TmccHandle handle, int32_t show) {
  return Guard([&] {
    int32_t error = dl::kOk;
    auto client = Lookup<StreamClient>(handle, &error);
    if (!client) return error;
    client->SetDisplay(show);
    return dl::kOk;
  });
}

TMCC_API int32_t TMCC_SetStreamBufferTime(TmccHandle handle, int32_t milliseconds) {
  return Guard([&] {
    int32_t error = dl::kOk;
    auto client = Lookup<StreamClient>(handle, &error);
    if (!client) return error;
    if (milliseconds < 0) return dl::kErrInvalidArgument;
    client->SetBufferTime(milliseconds);
    return dl::kOk;
  });
}

TMCC_API int32_t TMCC_RegisterStreamCallBack(TmccHandle handle, TmccStreamCallback callback,
                                             void* context) {
  return Guard([&] {
    int32_t error = dl::kOk;
    auto client = Lookup<StreamClient>(handle, &error);
    if (!client) return error;
    client->SetStreamCallback(callback, context);
    return dl::kOk;
  });
}

TMCC_API int32_t TMCC_ConnectStream(TmccHandle handle, dl::StreamConnectRecord* record,
                                    uint32_t playWnd) {
  return Guard([&] {
    int32_t error = dl::kOk;
    auto client = Lookup<StreamClient>(handle, &error);
    if (!client) return error;
    if (record == nullptr || record->size != sizeof(dl::StreamConnectRecord)) {
      return dl::kErrInvalidArgument;
    }
    const bool ourStreamPort = record->streamPort == 0 || record->streamPort == pr::kStreamPort;
    int32_t port = record->streamPort == 0 ? pr::kStreamPort : record->streamPort;
    SessionParams params;
    int32_t r = MakeParams(record->deviceIp, port, record->user, record->password, &params, nullptr,
                           ourStreamPort);
    if (r != dl::kOk) return r;
    params.purpose = pr::Purpose::kStream;
    params.streamType = record->streamType;
    params.rtpOverUdp = (record->flag & kFlagRtpOverUdp) != 0;
    client->SetWindow(playWnd);
    return client->OpenStream(std::move(params));
  });
}

TMCC_API int32_t TMCC_CloseStream(TmccHandle handle) {
  return Guard([&] {
    int32_t error = dl::kOk;
    auto client = Lookup<StreamClient>(handle, &error);
    if (!client) return error;
    client->CloseStream();
    return dl::kOk;
  });
}

TMCC_API int32_t TMCC_MakeKeyFrame(TmccHandle handle) {
  return Guard([&] { return Request(handle, pr::RequestCode::kKeyFrame, 0, 0, 0, {}); });
}

// Only "JPEG" (any letter case) is supported.
TMCC_API int32_t TMCC_CapturePictureToFile(TmccHandle handle, const char* fileName,
                                           const char* format) {
  return Guard([&] {
    int32_t error = dl::kOk;
    if (!Lookup<LoginClient>(handle, &error)) return error;
    if (fileName == nullptr || fileName[0] == '\0' || format == nullptr ||
        strcasecmp(format, "JPEG") != 0) {
      return dl::kErrInvalidArgument;
    }
    CallResult answer;
    int32_t r = Request(handle, pr::RequestCode::kSnapshot, pr::kSnapshotJpeg, 0, 0, {}, &answer);
    if (r != dl::kOk) return r;
    // A JPEG file starts with its start-of-image marker.
    if (answer.data.size() < 2 || answer.data[0] != 0xFF || answer.data[1] != 0xD8) {
      return dl::kErrProtocol;
    }
    return qrv::tmcc::WriteFileAtomically(fileName, answer.data);
  });
}

// Accepted on login clients and on stream clients (sent over the stream session).
TMCC_API int32_t TMCC_SetMute(TmccHandle handle, int32_t mute) {
  return Guard([&] {
    int32_t error = dl::kOk;
    auto client = Lookup<SessionClient>(handle, &error);
    if (!client) return error;
    pr::Request request;
    request.code = pr::RequestCode::kSetMute;
    request.arg0 = mute != 0 ? 1 : 0;
    return client->Call(request, nullptr);
  });
}

TMCC_API int32_t TMCC_StartVoiceCom(TmccHandle handle, dl::LoginRecord* login) {
  return Guard([&] {
    int32_t error = dl::kOk;
    if (!Lookup<LoginClient>(handle, &error)) return error;
    if (login == nullptr || login->size != sizeof(dl::LoginRecord)) {
      return dl::kErrInvalidArgument;
    }
    auto user = qrv::tmcc::FieldText(login->user);
    if (!user) return dl::kErrInvalidArgument;
    return Request(handle, pr::RequestCode::kVoiceStart, 0, 0, 0, *user);
  });
}

TMCC_API int32_t TMCC_StopVoiceCom(TmccHandle handle) {
  return Guard([&] { return Request(handle, pr::RequestCode::kVoiceStop, 0, 0, 0, {}); });
}

TMCC_API int32_t TMCC_PtzControl(TmccHandle handle, int32_t command, int32_t param1,
                                 int32_t param2) {
  return Guard([&] { return Request(handle, pr::RequestCode::kPtz, command, param1, param2, {}); });
}

TMCC_API int32_t TMCC_RegisterDataReadCallBack(TmccHandle handle, TmccDataReadCallback callback,
                                               void* context) {
  return Guard([&] {
    int32_t error = dl::kOk;
    auto client = Lookup<AlarmListener>(handle, &error);
    if (!client) return error;
    client->SetCallback(callback, context);
    return dl::kOk;
  });
}

TMCC_API int32_t TMCC_StartListen(TmccHandle handle, int32_t port) {
  return Guard([&] {
    int32_t error = dl::kOk;
    auto client = Lookup<AlarmListener>(handle, &error);
    if (!client) return error;
    if (port <= 0 || port > 65535) return dl::kErrInvalidArgument;
    return client->Start(static_cast<uint16_t>(port));
  });
}

TMCC_API int32_t TMCC_StopListen(TmccHandle handle) {
  return Guard([&] {
    int32_t error = dl::kOk;
    auto client = Lookup<AlarmListener>(handle, &error);
    if (!client) return error;
    client->Stop();
    return dl::kOk;
  });
}

TMCC_API int32_t TMCC_RegisterEnumServerCallBack(TmccHandle handle, TmccEnumServerCallback callback,
                                                 void* context) {
  return Guard([&] {
    int32_t error = dl::kOk;
    auto client = Lookup<EnumClient>(handle, &error);
    if (!client) return error;
    client->SetCallback(callback, context);
    return dl::kOk;
  });
}

TMCC_API int32_t TMCC_StartEnum(TmccHandle handle) {
  return Guard([&] {
    int32_t error = dl::kOk;
    auto client = Lookup<EnumClient>(handle, &error);
    if (!client) return error;
    return client->Start();
  });
}

TMCC_API int32_t TMCC_StopEnum(TmccHandle handle) {
  return Guard([&] {
    int32_t error = dl::kOk;
    auto client = Lookup<EnumClient>(handle, &error);
    if (!client) return error;
    client->Stop();
    return dl::kOk;
  });
}

TMCC_API int32_t TMCC_RefreshEnum(TmccHandle handle) {
  return Guard([&] {
    int32_t error = dl::kOk;
    auto client = Lookup<EnumClient>(handle, &error);
    if (!client) return error;
    return client->Refresh();
  });
}

}  // extern "C"

// Optional extension: a login client's connection history.
TMCC_API int32_t TMCC_GetConnectionStats(TmccHandle handle, dl::ConnectionStats* stats) {
  return Guard([&] {
    if (stats == nullptr || stats->size < 2 * sizeof(uint32_t)) return dl::kErrInvalidArgument;
    int32_t error = dl::kOk;
    auto client = Lookup<SessionClient>(handle, &error);
    if (!client) return error;
    dl::ConnectionStats filled = client->Stats();
    const uint32_t size = stats->size < sizeof(filled) ? stats->size : sizeof(filled);
    filled.size = size;
    std::memcpy(stats, &filled, size);
    return dl::kOk;
  });
}

// Optional extension: why a login client's last request or login failed, or
// why a stream client's stream could not be opened (a stream has its own
// handle, not its login's).
TMCC_API int32_t TMCC_GetLastErrorText(TmccHandle handle, char* text, uint32_t size) {
  return Guard([&] {
    if (text == nullptr || size == 0) return dl::kErrInvalidArgument;
    int32_t error = dl::kOk;
    auto client = Lookup<SessionClient>(handle, &error);
    if (!client) return error;
    const std::string reason = client->LastError();
    const size_t n = std::min<size_t>(reason.size(), size - 1);
    std::memcpy(text, reason.data(), n);
    text[n] = '\0';
    return dl::kOk;
  });
}

// Optional extension: the network threads, process-wide.
TMCC_API int32_t TMCC_GetNetworkPoolStats(dl::NetworkPoolStats* stats) {
  return Guard([&] {
    if (stats == nullptr || stats->size < sizeof(uint32_t)) return dl::kErrInvalidArgument;
    const auto figures = qrv::tmcc::IoPoolFigures();
    dl::NetworkPoolStats filled;
    filled.threads = static_cast<uint32_t>(figures.threads);
    filled.freeThreads = static_cast<uint32_t>(qrv::tmcc::kIoThreads);
    filled.added = figures.added;
    filled.retired = figures.retired;
    const uint32_t size = stats->size < sizeof(filled) ? stats->size : sizeof(filled);
    filled.size = size;
    std::memcpy(stats, &filled, size);
    return dl::kOk;
  });
}

// Optional extension: addresses longer than the records hold.
TMCC_API int32_t TMCC_RegisterAddress(const char* address, char* token, uint32_t size) {
  return Guard([&] {
    if (address == nullptr || token == nullptr || size == 0) return dl::kErrInvalidArgument;
    // Read no further than one byte past the longest address taken.
    const size_t length = strnlen(address, dl::kMaxRegisteredAddress + 1);
    if (length > dl::kMaxRegisteredAddress) return dl::kErrInvalidArgument;
    const std::string_view text(address, length);
    // Only a URL that makes a target now is kept: a token must never stand
    // for an address every later login would refuse.
    if (!qrv::tmcc::ChooseDeviceTarget(text, 0)) return dl::kErrInvalidArgument;
    const auto registered = qrv::tmcc::LongAddresses::Instance().Register(text);
    using Refusal = qrv::tmcc::LongAddresses::Refusal;
    if (registered.refusal == Refusal::kFull) return dl::kErrBusy;
    if (registered.refusal != Refusal::kNone) return dl::kErrInvalidArgument;
    if (registered.token.size() >= size) return dl::kErrInvalidArgument;
    std::memcpy(token, registered.token.data(), registered.token.size());
    token[registered.token.size()] = '\0';
    return dl::kOk;
  });
}

// Optional extension: every alarm message carries its record's length.
TMCC_API int32_t TMCC_AlarmRecordLengthGiven() {
  return 1;
}

// Optional extension: every alarm record names the login that pulled it (0:
// pushed by a device).
TMCC_API int32_t TMCC_AlarmRecordLoginGiven() {
  return 1;
}

// Optional extension: batched stream delivery, process-wide.
TMCC_API int32_t TMCC_SetStreamBatchEndCallback(dl::StreamBatchEndCallback callback,
                                                void* context) {
  return Guard([&] {
    qrv::tmcc::SetStreamBatchEnd(callback, context);
    return dl::kOk;
  });
}
