// What every ONVIF parser returns: the value, or why there is none — the
// peer's SOAP Fault, or a message we could not read.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "tmcc/onvif/codec/xml_reader.h"

namespace qrv::tmcc::onvif {

struct SoapFault {
  QName code;                   // e.g. {soap-envelope, "Sender"}
  std::vector<QName> subcodes;  // outermost first, e.g. {ver10/error, "NotAuthorized"}
  std::string reason;
};

enum class ErrorKind {
  kMalformed,   // not well-formed XML, or not a SOAP envelope
  kFault,       // the peer answered with a SOAP Fault (see fault)
  kUnexpected,  // a SOAP message, but not the one expected or missing what we need
};

struct Error {
  ErrorKind kind = ErrorKind::kMalformed;
  std::string message;
  std::optional<SoapFault> fault;

  // A fault with the ter:NotAuthorized subcode: wrong credentials, or a
  // token the device judged stale (its clock).
  bool NotAuthorized() const;
};

inline Error Malformed(std::string message) {
  return {ErrorKind::kMalformed, std::move(message), std::nullopt};
}
inline Error Unexpected(std::string message) {
  return {ErrorKind::kUnexpected, std::move(message), std::nullopt};
}

template <typename T>
class Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  const Error& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

// For operations whose answer carries nothing.
struct Empty {};

}  // namespace qrv::tmcc::onvif
