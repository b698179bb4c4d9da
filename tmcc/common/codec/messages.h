// Messages of the device protocol spoken between the device library and
// devices (control, stream, alarm push and discovery). The wire layouts are
// drawn in docs/protocol.md and next to each builder.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace qrv::tmcc::protocol {

inline constexpr uint8_t kProtocolVersion = 1;
// Every frame starts with these four bytes.
inline constexpr std::array<uint8_t, 4> kMagic = {'Q', 'V', 'D', 'P'};
inline constexpr size_t kFrameHeaderSize = 16;

// Well-known ports.
inline constexpr uint16_t kDefaultControlPort = 6001;
inline constexpr uint16_t kStreamPort = 6002;
inline constexpr uint16_t kDiscoveryPort = 36060;

// Text bounds (bytes, no NUL inside).
inline constexpr size_t kMaxUserText = 31;
inline constexpr size_t kMaxAddressText = 31;
inline constexpr size_t kMaxModelText = 32;
inline constexpr size_t kMaxIdentityText = 63;
inline constexpr size_t kMaxDottedText = 15;

// Largest media payload carried in one frame (stream frame data or a snapshot).
inline constexpr uint32_t kMaxMediaBytes = 4u * 1024 * 1024;

inline constexpr size_t kNonceSize = 32;
inline constexpr size_t kProofSize = 32;
using Nonce = std::array<uint8_t, kNonceSize>;
using Proof = std::array<uint8_t, kProofSize>;

enum class MessageType : uint8_t {
  kServerHello = 0x01,
  kLogin = 0x02,
  kLoginResult = 0x03,
  kPing = 0x04,
  kPong = 0x05,
  kRequest = 0x10,
  kAnswer = 0x11,
  kStreamData = 0x20,
  kAlarm = 0x30,
  kAlarmAck = 0x31,
  kProbe = 0x40,
  kProbeAnswer = 0x41,
};

// What a TCP session to a device is for.
enum class Purpose : uint8_t { kControl = 0, kStream = 1 };

// LoginResult status.
enum class LoginStatus : int32_t {
  kAccepted = 0,
  kCredentialsRefused = 1,
  kPurposeUnsupported = 2,
  kBusy = 3,
};

// Request codes.
enum class RequestCode : uint16_t {
  kKeyFrame = 1,
  kSnapshot = 2,
  kSetMute = 3,
  kVoiceStart = 4,
  kVoiceStop = 5,
  kPtz = 6,
};

// Answer status.
enum class AnswerStatus : int32_t {
  kOk = 0,
  kUnknownRequest = 1,
  kRefused = 2,
  kUnavailable = 3,
};

// Snapshot formats (Request arg0).
inline constexpr int32_t kSnapshotJpeg = 1;

struct ServerHello {
  Nonce serverNonce{};
};

struct Login {
  Purpose purpose = Purpose::kControl;
  uint8_t streamType = 0;
  Nonce clientNonce{};
  Proof proof{};
  std::string user;
};

struct LoginResult {
  LoginStatus status = LoginStatus::kAccepted;
  Proof serverProof{};
};

struct Request {
  RequestCode code = RequestCode::kKeyFrame;
  int32_t arg0 = 0;
  int32_t arg1 = 0;
  int32_t arg2 = 0;
  std::string text;
};

// data points into the parsed frame (no copy).
struct Answer {
  AnswerStatus status = AnswerStatus::kOk;
  uint32_t width = 0;
  uint32_t height = 0;
  std::span<const uint8_t> data;
};

// Frame types of StreamData.
inline constexpr uint8_t kStreamVideo = 0;
inline constexpr uint8_t kStreamAux = 1;
inline constexpr uint8_t kStreamHeader = 2;

// data points into the parsed frame (no copy).
struct StreamData {
  uint8_t frameType = kStreamVideo;
  uint8_t keyFrame = 0;
  uint32_t channel = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t sequence = 0;
  uint64_t timestampMs = 0;
  std::span<const uint8_t> data;
};
inline constexpr size_t kStreamDataPrefix = 28;

struct Alarm {
  uint32_t channel = 0;
  uint16_t kind = 0;
  int32_t value = 0;
  std::string address;
};

struct Probe {
  uint32_t probeId = 0;
};

struct ProbeAnswer {
  uint32_t probeId = 0;
  uint16_t controlPort = 0;
  uint16_t streamPort = 0;
  std::array<uint8_t, 6> mac{};
  std::string model;
  std::string identity;
  std::string address;
  std::string mask;
  std::string gateway;
};

}  // namespace qrv::tmcc::protocol
