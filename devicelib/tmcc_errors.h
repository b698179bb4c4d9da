// Result codes of our device library. 0 is success; every failure has its own
// non-zero code so a host can tell a refused password from an unreachable
// device. The plug-in passes the login, voice-talk and PTZ results through.
#pragma once

#include <cstdint>

namespace qrv::devicelib {

inline constexpr int32_t kOk = 0;
inline constexpr int32_t kErrInvalidHandle = -100;    // unknown or released handle
inline constexpr int32_t kErrWrongClientKind = -101;  // the call does not apply to this client kind
inline constexpr int32_t kErrInvalidArgument = -102;  // null or malformed argument
inline constexpr int32_t kErrNotConnected = -103;     // the client has no live connection
inline constexpr int32_t kErrAuthRefused = -104;      // the device refused user or password
inline constexpr int32_t kErrUnreachable = -105;      // connection refused or no route
inline constexpr int32_t kErrTimeout = -106;          // no answer within the time-out
inline constexpr int32_t kErrProtocol = -107;         // malformed or unexpected answer
inline constexpr int32_t kErrDeviceRefused = -108;    // the device refused the request
inline constexpr int32_t kErrBusy = -109;             // already started, or in the wrong state
inline constexpr int32_t kErrIo = -110;               // local I/O failed (file, socket set-up)
inline constexpr int32_t kErrClosed = -111;           // the client was stopped while waiting
// The peer took the login but could not prove it knows the password: not the
// device it claims to be.
inline constexpr int32_t kErrPeerUnproven = -112;
// The device has no way to do this (a standard camera asked for voice talk,
// say): not a passing failure, asking again will not help.
inline constexpr int32_t kErrUnsupported = -113;
// The device asks for an authentication this library does not speak (an
// unknown scheme or Digest algorithm): no credentials were sent.
inline constexpr int32_t kErrAuthUnsupported = -114;
// The device offers only Basic authentication, which would send the password
// readable to anyone on the path; refused unless allowed for the device
// (TMCC_ALLOW_BASIC). No credentials were sent.
inline constexpr int32_t kErrBasicRefused = -115;

// Words for a result code, for people reading logs and the host tool.
inline const char* DescribeResult(int32_t code) {
  switch (code) {
    case kOk: return "success";
    case kErrInvalidHandle: return "unknown or released handle";
    case kErrWrongClientKind: return "request does not apply to this client kind";
    case kErrInvalidArgument: return "invalid argument";
    case kErrNotConnected: return "not connected";
    case kErrAuthRefused: return "user name or password refused";
    case kErrUnreachable: return "device unreachable";
    case kErrTimeout: return "device did not answer in time";
    case kErrProtocol: return "protocol error";
    case kErrDeviceRefused: return "device refused the request";
    case kErrBusy: return "busy or in the wrong state";
    case kErrIo: return "local input/output error";
    case kErrClosed: return "client closed";
    case kErrPeerUnproven: return "the device could not prove it knows the password";
    case kErrUnsupported: return "the device does not offer this operation";
    case kErrAuthUnsupported: return "the device asks for an unsupported authentication";
    case kErrBasicRefused: return "clear-text (Basic) login refused: see TMCC_ALLOW_BASIC";
    default: return "unknown result";
  }
}

}  // namespace qrv::devicelib
