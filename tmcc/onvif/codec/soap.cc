#include "tmcc/onvif/codec/soap.h"

#include <array>
#include <charconv>
#include <cmath>
#include <utility>
#include <vector>

#include "tmcc/common/codec/base64.h"
#include "tmcc/common/codec/crypto.h"
#include "tmcc/onvif/codec/namespaces.h"
#include "tmcc/onvif/codec/xml_writer.h"
#include "tmcc/onvif/codec/xs_datetime.h"

namespace qrv::tmcc::onvif {

namespace pr = qrv::tmcc::protocol;

namespace {

constexpr size_t kMaxSubcodes = 8;

std::optional<std::array<uint8_t, pr::kSha1Bytes>> PasswordDigest(std::span<const uint8_t> nonce,
                                                                  std::string_view created,
                                                                  std::string_view password) {
  std::vector<uint8_t> input(nonce.begin(), nonce.end());
  input.insert(input.end(), created.begin(), created.end());
  input.insert(input.end(), password.begin(), password.end());
  std::array<uint8_t, pr::kSha1Bytes> digest{};
  if (!pr::Sha1(input, digest)) return std::nullopt;
  return digest;
}

}  // namespace

bool Error::NotAuthorized() const {
  if (!fault) return false;
  for (const auto& s : fault->subcodes) {
    if (s.ns == ns::kError && s.local == "NotAuthorized") return true;
  }
  return false;
}

std::optional<UsernameToken> MakeUsernameToken(std::string_view username, std::string_view password,
                                               std::span<const uint8_t> nonce,
                                               int64_t createdUnix) {
  UsernameToken token;
  token.username = username;
  token.created = FormatDateTime(createdUnix);
  token.nonce = pr::Base64Encode(nonce);
  auto digest = PasswordDigest(nonce, token.created, password);
  if (!digest) return std::nullopt;
  token.password = pr::Base64Encode(*digest);
  return token;
}

std::optional<UsernameToken> NewUsernameToken(std::string_view username, std::string_view password,
                                              int64_t nowUnix, int64_t deviceClockOffset) {
  std::array<uint8_t, kNonceBytes> nonce{};
  if (!pr::RandomBytes(nonce)) return std::nullopt;
  return MakeUsernameToken(username, password, nonce, nowUnix + deviceClockOffset);
}

TokenCheck CheckUsernameToken(const UsernameToken& token, std::string_view password,
                              int64_t nowUnix, int64_t maxSkewSeconds) {
  if (!token.passwordIsDigest) return TokenCheck::kPlainPassword;
  auto nonce = pr::Base64Decode(token.nonce);
  auto created = ParseDateTime(token.created);
  auto received = pr::Base64Decode(token.password);
  if (!nonce || nonce->empty() || !created || !received) return TokenCheck::kMalformed;
  if (*created > nowUnix + maxSkewSeconds || *created < nowUnix - maxSkewSeconds) {
    return TokenCheck::kStale;
  }
  auto expected = PasswordDigest(*nonce, token.created, password);
  if (!expected || !pr::ConstantTimeEqual(*expected, *received)) {
    return TokenCheck::kWrongPassword;
  }
  return TokenCheck::kValid;
}

namespace {

constexpr std::string_view kEnvelopeStart =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<env:Envelope xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\""
    " xmlns:wsse=\"http://docs.oasis-open.org/wss/2004/01/"
    "oasis-200401-wss-wssecurity-secext-1.0.xsd\""
    " xmlns:wsu=\"http://docs.oasis-open.org/wss/2004/01/"
    "oasis-200401-wss-wssecurity-utility-1.0.xsd\""
    " xmlns:wsa=\"http://www.w3.org/2005/08/addressing\""
    " xmlns:tt=\"http://www.onvif.org/ver10/schema\""
    " xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\""
    " xmlns:trt=\"http://www.onvif.org/ver10/media/wsdl\""
    " xmlns:tptz=\"http://www.onvif.org/ver20/ptz/wsdl\""
    " xmlns:tev=\"http://www.onvif.org/ver10/events/wsdl\""
    " xmlns:wsnt=\"http://docs.oasis-open.org/wsn/b-2\""
    " xmlns:ter=\"http://www.onvif.org/ver10/error\""
    " xmlns:tns1=\"http://www.onvif.org/ver10/topics\">";

}  // namespace

std::string BuildEnvelope(std::string_view body, const std::optional<UsernameToken>& security,
                          const Addressing* addressing) {
  std::string out(kEnvelopeStart);
  XmlWriter w(out);
  const bool addressed =
      addressing != nullptr && (!addressing->messageId.empty() || !addressing->relatesTo.empty() ||
                                !addressing->to.empty() || !addressing->action.empty() ||
                                !addressing->referenceParameters.empty());
  if (security || addressed) {
    w.Start("env:Header");
    if (addressed) {
      if (!addressing->messageId.empty()) w.Leaf("wsa:MessageID", addressing->messageId);
      if (!addressing->relatesTo.empty()) w.Leaf("wsa:RelatesTo", addressing->relatesTo);
      if (!addressing->to.empty()) {
        w.Start("wsa:To").Attr("env:mustUnderstand", "true").Text(addressing->to).End("wsa:To");
      }
      if (!addressing->action.empty()) {
        w.Start("wsa:Action")
            .Attr("env:mustUnderstand", "true")
            .Text(addressing->action)
            .End("wsa:Action");
      }
      w.Raw(addressing->referenceParameters);
    }
    if (security) {
      w.Start("wsse:Security").Attr("env:mustUnderstand", "true");
      w.Start("wsse:UsernameToken");
      w.Leaf("wsse:Username", security->username);
      w.Start("wsse:Password")
          .Attr("Type", security->passwordIsDigest ? ns::kPasswordDigest : ns::kPasswordText)
          .Text(security->password)
          .End("wsse:Password");
      w.Start("wsse:Nonce")
          .Attr("EncodingType", ns::kBase64Binary)
          .Text(security->nonce)
          .End("wsse:Nonce");
      w.Leaf("wsu:Created", security->created);
      w.End("wsse:UsernameToken");
      w.End("wsse:Security");
    }
    w.End("env:Header");
  }
  w.Start("env:Body").Raw(body).End("env:Body");
  out += "</env:Envelope>\n";
  return out;
}

std::optional<std::string> NewMessageId() {
  std::array<uint8_t, 16> b{};
  if (!pr::RandomBytes(b)) return std::nullopt;
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id = "urn:uuid:";
  for (size_t i = 0; i < b.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
    id += kHex[b[i] >> 4];
    id += kHex[b[i] & 15];
  }
  return id;
}

std::optional<std::string> ReferenceParametersMarkup(const XmlElement& referenceParameters,
                                                     size_t maxBytes) {
  std::string out;
  for (XmlElement c = referenceParameters.FirstChild(); c; c = c.NextSibling()) {
    const std::string_view source = c.Source();
    // The start tag's name ends at the first white space, '/' or '>'.
    const size_t nameEnd = source.find_first_of(" \t\r\n/>");
    if (source.empty() || source[0] != '<' || nameEnd == std::string_view::npos) {
      return std::nullopt;
    }
    // Declarations the element relies on from its ancestors, nearest first.
    std::vector<std::pair<std::string_view, std::string_view>> inherited;
    auto declared = [&](std::string_view prefix) {
      for (const auto& [p, uri] : c.Declarations()) {
        if (p == prefix) return true;
      }
      for (const auto& [p, uri] : inherited) {
        if (p == prefix) return true;
      }
      return false;
    };
    for (XmlElement a = c.Parent(); a; a = a.Parent()) {
      for (const auto& d : a.Declarations()) {
        if (!declared(d.first)) inherited.push_back(d);
      }
    }
    std::string block(source.substr(0, nameEnd));
    for (const auto& [prefix, uri] : inherited) {
      block += prefix.empty() ? " xmlns=\"" : " xmlns:" + std::string(prefix) + "=\"";
      block += EscapeXml(uri);
      block += '"';
    }
    block += source.substr(nameEnd);
    out += block;
    if (out.size() > maxBytes) return std::nullopt;
  }
  return out;
}

std::string BuildFault(std::string_view code, std::string_view subcode, std::string_view reason) {
  std::string body;
  XmlWriter w(body);
  w.Start("env:Fault").Start("env:Code");
  w.Leaf("env:Value", "env:" + std::string(code));
  if (!subcode.empty()) w.Start("env:Subcode").Leaf("env:Value", subcode).End("env:Subcode");
  w.End("env:Code");
  w.Start("env:Reason").Start("env:Text").Attr("xml:lang", "en").Text(reason).End("env:Text");
  w.End("env:Reason").End("env:Fault");
  return BuildEnvelope(body, std::nullopt);
}

namespace {

// The envelope prefixes devices use without declaring them. Taken as SOAP
// 1.2, the version we speak; they can only name envelope parts.
constexpr std::pair<std::string_view, std::string_view> kUndeclaredEnvelope[] = {
    {"SOAP-ENV", ns::kSoap12}, {"soap", ns::kSoap12}, {"s", ns::kSoap12}, {"env", ns::kSoap12}};

SoapFault ReadFault(const XmlElement& fault, std::string_view env) {
  SoapFault f;
  // A SOAP 1.1 fault under an undeclared prefix (read as 1.2) still has its
  // unqualified faultcode.
  const bool soap11 =
      env == ns::kSoap11 || (!fault.Child(env, "Code") && fault.Child("", "faultcode"));
  if (!soap11) {
    const XmlElement code = fault.Child(env, "Code");
    const XmlElement value = code.Child(env, "Value");
    if (auto q = ResolveQName(value, value.TrimmedText())) f.code = *q;
    XmlElement sub = code.Child(env, "Subcode");
    while (sub && f.subcodes.size() < kMaxSubcodes) {
      const XmlElement subValue = sub.Child(env, "Value");
      if (auto q = ResolveQName(subValue, subValue.TrimmedText())) f.subcodes.push_back(*q);
      sub = sub.Child(env, "Subcode");
    }
    f.reason = FieldText(fault.Child(env, "Reason").Child(env, "Text"));
  } else {
    // SOAP 1.1: unqualified faultcode and faultstring.
    const XmlElement code = fault.Child("", "faultcode");
    if (auto q = ResolveQName(code, code.TrimmedText())) f.code = *q;
    f.reason = FieldText(fault.Child("", "faultstring"));
  }
  return f;
}

std::string FaultMessage(const SoapFault& f) {
  std::string m = "SOAP fault";
  if (!f.code.local.empty()) m += " " + f.code.local;
  for (const auto& s : f.subcodes) m += "/" + s.local;
  if (!f.reason.empty()) m += ": " + f.reason;
  return m;
}

}  // namespace

Result<SoapMessage> ParseSoapMessage(std::string_view xml, const XmlLimits& limits) {
  std::string error;
  XmlLimits envelopeLimits = limits;
  if (envelopeLimits.undeclaredPrefixes.empty()) {
    envelopeLimits.undeclaredPrefixes = kUndeclaredEnvelope;
  }
  auto document = XmlDocument::Parse(xml, &error, envelopeLimits);
  if (!document) return Malformed("not well-formed XML: " + error);
  const XmlElement root = document->Root();
  const std::string_view env = root.Namespace();
  if (root.Name() != "Envelope" || (env != ns::kSoap12 && env != ns::kSoap11)) {
    return Malformed("not a SOAP envelope");
  }
  XmlElement header, body;
  for (XmlElement c = root.FirstChild(); c; c = c.NextSibling()) {
    if (c.Is(env, "Header") && !header && !body) {
      header = c;
    } else if (c.Is(env, "Body") && !body) {
      body = c;
    } else {
      return Malformed("unexpected element in the SOAP envelope");
    }
  }
  if (!body) return Malformed("SOAP envelope without a Body");
  const XmlElement payload = body.FirstChild();
  if (payload.Is(env, "Fault")) {
    SoapFault f = ReadFault(payload, env);
    std::string message = FaultMessage(f);
    return Error{ErrorKind::kFault, std::move(message), std::move(f)};
  }
  return SoapMessage{std::move(*document), header, payload};
}

Result<SoapMessage> ParseResponse(std::string_view xml, std::string_view ns,
                                  std::string_view name) {
  auto message = ParseSoapMessage(xml);
  if (!message) return message;
  if (!message->body.Is(ns, name)) {
    return Unexpected("expected " + std::string(name) + ", got " +
                      (message->body ? std::string(message->body.Name()) : "an empty body"));
  }
  return message;
}

std::string BuildEmptyResponse(std::string_view qualifiedName) {
  std::string body;
  XmlWriter(body).Start(qualifiedName).End(qualifiedName);
  return BuildEnvelope(body, std::nullopt);
}

Result<Empty> ParseEmptyResponse(std::string_view xml, std::string_view ns, std::string_view name) {
  auto message = ParseResponse(xml, ns, name);
  if (!message) return message.error();
  return Empty{};
}

RequestHeader ReadRequestHeader(const SoapMessage& message) {
  RequestHeader h;
  const XmlElement header = message.header;
  const XmlElement token =
      header.Child(ns::kSecurity, "Security").Child(ns::kSecurity, "UsernameToken");
  if (token) {
    UsernameToken t;
    t.username = FieldText(token.Child(ns::kSecurity, "Username"));
    const XmlElement password = token.Child(ns::kSecurity, "Password");
    t.password = FieldText(password);
    // Type defaults to PasswordText when absent.
    t.passwordIsDigest = password.Attribute("", "Type") == ns::kPasswordDigest;
    t.nonce = FieldText(token.Child(ns::kSecurity, "Nonce"));
    t.created = FieldText(token.Child(ns::kSecurityUtility, "Created"));
    h.token = std::move(t);
  }
  // The current addressing namespace, or the older one discovery uses.
  for (std::string_view wsa : {ns::kAddressing, ns::kAddressing2004}) {
    if (h.addressing.messageId.empty()) {
      h.addressing.messageId = FieldText(header.Child(wsa, "MessageID"));
    }
    if (h.addressing.relatesTo.empty()) {
      h.addressing.relatesTo = FieldText(header.Child(wsa, "RelatesTo"));
    }
    if (h.addressing.to.empty()) h.addressing.to = FieldText(header.Child(wsa, "To"));
    if (h.addressing.action.empty()) h.addressing.action = FieldText(header.Child(wsa, "Action"));
  }
  return h;
}

namespace {

std::string_view Trim(std::string_view t) {
  while (!t.empty() &&
         (t.front() == ' ' || t.front() == '\t' || t.front() == '\n' || t.front() == '\r')) {
    t.remove_prefix(1);
  }
  while (!t.empty() &&
         (t.back() == ' ' || t.back() == '\t' || t.back() == '\n' || t.back() == '\r')) {
    t.remove_suffix(1);
  }
  return t;
}

}  // namespace

std::optional<int64_t> ParseInteger(std::string_view text, int64_t min, int64_t max) {
  text = Trim(text);
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < min || value > max) return std::nullopt;
  return value;
}

std::optional<double> ParseDecimal(std::string_view text) {
  text = Trim(text);
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  // xs:float's INF and NaN are no position or speed.
  double value = 0;
  auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
      !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

std::optional<bool> ParseBoolean(std::string_view text) {
  text = Trim(text);
  if (text == "true" || text == "1") return true;
  if (text == "false" || text == "0") return false;
  return std::nullopt;
}

std::string FormatDecimal(double value) {
  if (!std::isfinite(value)) value = 0;
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof(buffer), value);
  if (ec != std::errc()) return "0";
  return std::string(buffer, end);
}

std::string FieldText(std::string_view text) {
  text = Trim(text);
  if (text.size() <= kMaxFieldBytes) return std::string(text);
  size_t cut = kMaxFieldBytes;
  // Back up over continuation bytes so the cut text stays UTF-8.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut));
}

std::string FieldText(const XmlElement& element) {
  return FieldText(element.Text());
}

}  // namespace qrv::tmcc::onvif
