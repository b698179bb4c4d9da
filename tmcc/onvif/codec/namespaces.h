// The namespace URIs of the messages we read and write. Parsers match these
// URIs, never prefixes: every peer picks its own prefixes.
#pragma once

#include <string_view>

namespace qrv::tmcc::onvif::ns {

inline constexpr std::string_view kSoap12 = "http://www.w3.org/2003/05/soap-envelope";
inline constexpr std::string_view kSoap11 = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr std::string_view kAddressing = "http://www.w3.org/2005/08/addressing";
// WS-Discovery (2005/04) still carries the older addressing namespace.
inline constexpr std::string_view kAddressing2004 =
    "http://schemas.xmlsoap.org/ws/2004/08/addressing";
inline constexpr std::string_view kDiscovery = "http://schemas.xmlsoap.org/ws/2005/04/discovery";
inline constexpr std::string_view kSecurity =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd";
inline constexpr std::string_view kSecurityUtility =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd";
inline constexpr std::string_view kPasswordDigest =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-username-token-profile-1.0"
    "#PasswordDigest";
inline constexpr std::string_view kPasswordText =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-username-token-profile-1.0"
    "#PasswordText";
inline constexpr std::string_view kBase64Binary =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-soap-message-security-1.0"
    "#Base64Binary";

inline constexpr std::string_view kSchema = "http://www.onvif.org/ver10/schema";
inline constexpr std::string_view kDevice = "http://www.onvif.org/ver10/device/wsdl";
inline constexpr std::string_view kMedia = "http://www.onvif.org/ver10/media/wsdl";
inline constexpr std::string_view kPtz = "http://www.onvif.org/ver20/ptz/wsdl";
inline constexpr std::string_view kEvents = "http://www.onvif.org/ver10/events/wsdl";
inline constexpr std::string_view kImaging = "http://www.onvif.org/ver20/imaging/wsdl";
inline constexpr std::string_view kNetwork = "http://www.onvif.org/ver10/network/wsdl";
inline constexpr std::string_view kError = "http://www.onvif.org/ver10/error";
inline constexpr std::string_view kTopics = "http://www.onvif.org/ver10/topics";
inline constexpr std::string_view kNotification = "http://docs.oasis-open.org/wsn/b-2";

}  // namespace qrv::tmcc::onvif::ns
