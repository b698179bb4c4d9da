// SOAP 1.2 envelopes: building requests and responses (with an optional
// WS-Security UsernameToken and WS-Addressing headers), reading them back,
// and turning a SOAP Fault into an error. Pure; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tmcc/onvif/codec/result.h"
#include "tmcc/onvif/codec/xml_reader.h"

namespace qrv::tmcc::onvif {

// A WS-Security UsernameToken as sent: PasswordDigest =
// Base64(SHA1(nonce + created + password)), the nonce in base64.
struct UsernameToken {
  std::string username;
  std::string password;  // the digest (or, as received, a plain text password)
  bool passwordIsDigest = true;
  std::string nonce;
  std::string created;
};

inline constexpr size_t kNonceBytes = 16;

// The token for the given nonce and creation time (seconds since the epoch,
// on the device's clock). Nothing if the digest could not be computed.
std::optional<UsernameToken> MakeUsernameToken(std::string_view username, std::string_view password,
                                               std::span<const uint8_t> nonce, int64_t createdUnix);

// A fresh token: a random nonce, created at our time now plus the device's
// clock offset (device time minus ours, from GetSystemDateAndTime), so a
// device whose clock is off still finds the token current.
std::optional<UsernameToken> NewUsernameToken(std::string_view username, std::string_view password,
                                              int64_t nowUnix, int64_t deviceClockOffset);

enum class TokenCheck {
  kValid,
  kMalformed,      // no nonce or creation time, or ones we cannot read
  kPlainPassword,  // PasswordText: we accept digests only
  kStale,          // created too far from now
  kWrongPassword,  // digest does not match the user's password
};

// The server's check of a received token against the user's password.
// (Remembering nonces against replay is the caller's, as it needs state.)
TokenCheck CheckUsernameToken(const UsernameToken& token, std::string_view password,
                              int64_t nowUnix, int64_t maxSkewSeconds);

// WS-Addressing header fields; empty ones are not written.
struct Addressing {
  std::string messageId;
  std::string relatesTo;
  std::string to;
  std::string action;
  // Header blocks a peer's endpoint reference asked us to echo (markup from
  // ReferenceParametersMarkup), written as they are.
  std::string referenceParameters;
};

// A fresh "urn:uuid:" URI with a random (version 4) UUID, for MessageIDs;
// nothing if the system's random generator failed.
std::optional<std::string> NewMessageId();

// The children of an endpoint reference's ReferenceParameters, as
// self-contained markup (each with the namespace declarations it relies on)
// to echo as header blocks; nothing when they exceed maxBytes.
std::optional<std::string> ReferenceParametersMarkup(const XmlElement& referenceParameters,
                                                     size_t maxBytes);

// A SOAP 1.2 envelope around body, markup we built (XmlWriter), which may use
// the prefixes the envelope declares: env, wsse, wsu, wsa, tt, tds, trt,
// tptz, tev, wsnt, ter, tns1.
std::string BuildEnvelope(std::string_view body, const std::optional<UsernameToken>& security,
                          const Addressing* addressing = nullptr);

// A SOAP 1.2 Fault envelope. code is "Sender" or "Receiver"; subcode a QName
// in the envelope's prefixes (e.g. "ter:NotAuthorized"), or empty.
std::string BuildFault(std::string_view code, std::string_view subcode, std::string_view reason);

// A parsed SOAP message. The handles point into document.
struct SoapMessage {
  XmlDocument document;
  XmlElement header;  // null when the envelope has none
  XmlElement body;    // the Body's first element; null when the Body is empty
};

// Parses a SOAP envelope (1.2, or 1.1 from older devices). A Body holding a
// Fault is an error of kind kFault with the fault's code, subcodes and reason.
// The prefixes SOAP-ENV, soap, s and env used without a declaration stand
// for the SOAP 1.2 envelope namespace (unless limits name others).
Result<SoapMessage> ParseSoapMessage(std::string_view xml, const XmlLimits& limits = {});

// The body element of a response, checked to be ns:name.
Result<SoapMessage> ParseResponse(std::string_view xml, std::string_view ns, std::string_view name);

// Answers that carry nothing but their name: built (qualifiedName in the
// envelope's prefixes) and checked.
std::string BuildEmptyResponse(std::string_view qualifiedName);
Result<Empty> ParseEmptyResponse(std::string_view xml, std::string_view ns, std::string_view name);

// What a server needs from a request's header.
struct RequestHeader {
  std::optional<UsernameToken> token;
  Addressing addressing;
};
RequestHeader ReadRequestHeader(const SoapMessage& message);

// Readers of element text for the per-service parsers.
std::optional<int64_t> ParseInteger(std::string_view text, int64_t min, int64_t max);
std::optional<double> ParseDecimal(std::string_view text);
std::optional<bool> ParseBoolean(std::string_view text);
// Decimal text of a number, locale-independent, shortest form that reads back.
std::string FormatDecimal(double value);

// Texts we keep from a peer are cut to this many bytes: names, tokens, URIs.
inline constexpr size_t kMaxFieldBytes = 1024;
// The trimmed text of element, cut to kMaxFieldBytes (on a UTF-8 boundary).
std::string FieldText(const XmlElement& element);
std::string FieldText(std::string_view text);

}  // namespace qrv::tmcc::onvif
