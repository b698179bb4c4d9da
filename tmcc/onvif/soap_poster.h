// How the parts of a standard camera's ONVIF backend talk to its services:
// one SOAP exchange at a time over HTTP, answered on the caller's strand.
// The login link implements it over its HTTP connection; the event watcher
// uses it, and tests give it a fake.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "tmcc/onvif/codec/soap.h"

namespace qrv::tmcc {

struct SoapAnswer {
  // kOk: an HTTP answer with a body arrived (a 200, or a SOAP Fault in a 400
  // or 500, which the caller reads with onvif::ParseSoapMessage). Otherwise the
  // exchange failed: kErrTimeout, kErrUnreachable, kErrAuthRefused (HTTP 401
  // after our credentials), kErrProtocol (a malformed answer), kErrClosed
  // (the poster was closed meanwhile).
  int32_t result = 0;
  int httpStatus = 0;
  std::string body;
};

class SoapPoster {
 public:
  using Done = std::function<void(const SoapAnswer& answer)>;

  // Posts envelope to path (an absolute path on the camera, such as
  // "/onvif/events"; never a host taken from a payload: the camera's own
  // address is used). done runs exactly once, on the poster's strand, and
  // never from inside Post. Threading: the poster's strand only.
  virtual void Post(std::string path, std::string envelope, std::chrono::milliseconds timeout,
                    Done done) = 0;
  // A fresh WS-UsernameToken for the next request, on the camera's clock;
  // nothing when no credentials are to be sent. Threading: the strand.
  virtual std::optional<onvif::UsernameToken> Token() = 0;

 protected:
  ~SoapPoster() = default;
};

}  // namespace qrv::tmcc
