// The device library's result for an authentication that cannot go on, as
// RTSP sessions and HTTP exchanges report it. Pure; any thread.
#pragma once

#include <cstdint>

#include "devicelib/tmcc_errors.h"
#include "tmcc/rtsp/codec/auth.h"

namespace qrv::tmcc::rtsp {

// A refused answer is a wrong password; the others sent no credentials.
inline int32_t AuthFailure(Authenticator::Verdict verdict) {
  switch (verdict) {
    case Authenticator::Verdict::kUnsupported:
      return devicelib::kErrAuthUnsupported;
    case Authenticator::Verdict::kBasicRefused:
      return devicelib::kErrBasicRefused;
    default:
      return devicelib::kErrAuthRefused;
  }
}

}  // namespace qrv::tmcc::rtsp
