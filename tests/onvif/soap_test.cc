// SOAP envelopes: the WS-Security UsernameToken digest and its server-side
// check, faults from devices that use their own prefixes, envelope refusals,
// reference parameters echoed, and the text readers.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tmcc/common/codec/base64.h"
#include "tmcc/common/codec/crypto.h"
#include "tmcc/onvif/codec/namespaces.h"
#include "tmcc/onvif/codec/soap.h"
#include "tmcc/onvif/codec/xs_datetime.h"

namespace onvif = qrv::tmcc::onvif;
namespace pr = qrv::tmcc::protocol;
namespace ns = qrv::tmcc::onvif::ns;

namespace {

constexpr int64_t kNow = 1714979289;  // 2024-05-06T07:08:09Z

}  // namespace

TEST(UsernameToken, DigestIsBase64OfSha1OfNonceCreatedAndPassword) {
  const std::array<uint8_t, 16> nonce = {0x00, 0x01, 0x7f, 0x80, 0xff, 0x10, 0x20, 0x30,
                                         0x40, 0x50, 0x60, 0x70, 0x81, 0x92, 0xa3, 0xb4};
  auto token = onvif::MakeUsernameToken("admin", "p\xC3\xA4ss", nonce, kNow);
  ASSERT_TRUE(token);
  EXPECT_EQ(token->username, "admin");
  EXPECT_EQ(token->created, "2024-05-06T07:08:09Z");
  EXPECT_EQ(token->nonce, pr::Base64Encode(nonce));
  EXPECT_TRUE(token->passwordIsDigest);
  // The digest computed here from its pieces: raw nonce bytes (not their
  // base64), the Created text, the password's UTF-8 bytes.
  std::vector<uint8_t> input(nonce.begin(), nonce.end());
  const std::string rest = "2024-05-06T07:08:09Zp\xC3\xA4ss";
  input.insert(input.end(), rest.begin(), rest.end());
  std::array<uint8_t, pr::kSha1Bytes> sha1{};
  ASSERT_TRUE(pr::Sha1(input, sha1));
  EXPECT_EQ(token->password, pr::Base64Encode(sha1));
  EXPECT_EQ(token->password.size(), 28u);
}

TEST(UsernameToken, UsesTheDevicesClockAndFreshNonces) {
  auto a = onvif::NewUsernameToken("u", "p", kNow, -3600);
  auto b = onvif::NewUsernameToken("u", "p", kNow, -3600);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->created, onvif::FormatDateTime(kNow - 3600));
  EXPECT_NE(a->nonce, b->nonce);
  EXPECT_EQ(pr::Base64Decode(a->nonce)->size(), onvif::kNonceBytes);
}

TEST(UsernameToken, ServerCheckJudgesPasswordTimeAndForm) {
  const std::array<uint8_t, 4> nonce = {1, 2, 3, 4};
  auto token = *onvif::MakeUsernameToken("u", "secret", nonce, kNow);
  using onvif::TokenCheck;
  EXPECT_EQ(onvif::CheckUsernameToken(token, "secret", kNow + 299, 300), TokenCheck::kValid);
  EXPECT_EQ(onvif::CheckUsernameToken(token, "secret", kNow - 299, 300), TokenCheck::kValid);
  EXPECT_EQ(onvif::CheckUsernameToken(token, "Secret", kNow, 300), TokenCheck::kWrongPassword);
  EXPECT_EQ(onvif::CheckUsernameToken(token, "secret", kNow + 301, 300), TokenCheck::kStale);
  EXPECT_EQ(onvif::CheckUsernameToken(token, "secret", kNow - 301, 300), TokenCheck::kStale);
  // The digest covers the creation time and nonce: changing either breaks it.
  auto moved = token;
  moved.created = onvif::FormatDateTime(kNow + 1);
  EXPECT_EQ(onvif::CheckUsernameToken(moved, "secret", kNow, 300), TokenCheck::kWrongPassword);
  auto renonced = token;
  renonced.nonce = pr::Base64Encode(std::array<uint8_t, 4>{1, 2, 3, 5});
  EXPECT_EQ(onvif::CheckUsernameToken(renonced, "secret", kNow, 300), TokenCheck::kWrongPassword);
  auto plain = token;
  plain.passwordIsDigest = false;
  plain.password = "secret";
  EXPECT_EQ(onvif::CheckUsernameToken(plain, "secret", kNow, 300), TokenCheck::kPlainPassword);
  std::vector<onvif::UsernameToken> broken(4, token);
  broken[0].nonce = "";
  broken[1].nonce = "not base64!";
  broken[2].created = "yesterday";
  broken[3].password = "%%%%";
  for (const auto& b : broken) {
    EXPECT_EQ(onvif::CheckUsernameToken(b, "secret", kNow, 300), TokenCheck::kMalformed);
  }
}

TEST(SoapEnvelope, SecurityAndAddressingHeadersReadBack) {
  auto token = *onvif::MakeUsernameToken("op<er>ator", "pw", std::array<uint8_t, 2>{9, 9}, kNow);
  onvif::Addressing addressing;
  addressing.messageId = "urn:uuid:1";
  addressing.to = "http://10.0.0.1/pull?id=1&x=2";
  addressing.action = "urn:act";
  const std::string xml = onvif::BuildEnvelope("<tds:GetDeviceInformation/>", token, &addressing);
  auto message = onvif::ParseSoapMessage(xml);
  ASSERT_TRUE(message) << message.error().message;
  EXPECT_TRUE(message->body.Is(ns::kDevice, "GetDeviceInformation"));
  const auto header = onvif::ReadRequestHeader(*message);
  ASSERT_TRUE(header.token);
  EXPECT_EQ(header.token->username, "op<er>ator");
  EXPECT_EQ(header.token->password, token.password);
  EXPECT_EQ(header.token->nonce, token.nonce);
  EXPECT_EQ(header.token->created, token.created);
  EXPECT_TRUE(header.token->passwordIsDigest);
  EXPECT_EQ(onvif::CheckUsernameToken(*header.token, "pw", kNow, 5), onvif::TokenCheck::kValid);
  EXPECT_EQ(header.addressing.messageId, "urn:uuid:1");
  EXPECT_EQ(header.addressing.to, addressing.to);
  EXPECT_EQ(header.addressing.action, "urn:act");

  // Without security or addressing there is no header at all.
  auto bare = onvif::ParseSoapMessage(onvif::BuildEnvelope("<tds:GetServices/>", std::nullopt));
  ASSERT_TRUE(bare);
  EXPECT_FALSE(bare->header);
  EXPECT_FALSE(onvif::ReadRequestHeader(*bare).token);
}

TEST(SoapEnvelope, PlainTextPasswordIsSeenAsSuch) {
  const std::string xml =
      "<Envelope xmlns='http://www.w3.org/2003/05/soap-envelope'><Header>"
      "<Security xmlns='http://docs.oasis-open.org/wss/2004/01/"
      "oasis-200401-wss-wssecurity-secext-1.0.xsd'><UsernameToken><Username>u</Username>"
      "<Password>clear</Password></UsernameToken></Security></Header><Body><x/></Body></Envelope>";
  auto message = onvif::ParseSoapMessage(xml);
  ASSERT_TRUE(message);
  auto token = onvif::ReadRequestHeader(*message).token;
  ASSERT_TRUE(token);
  EXPECT_FALSE(token->passwordIsDigest);
  EXPECT_EQ(onvif::CheckUsernameToken(*token, "clear", kNow, 5), onvif::TokenCheck::kPlainPassword);
}

TEST(SoapFault, DeviceFaultsAreErrorsWithCodesResolvedWhateverThePrefixes) {
  // A camera's answer to a bad token, with its own prefixes.
  const std::string fault =
      "<?xml version='1.0' encoding='UTF-8'?>"
      "<SOAP-ENV:Envelope xmlns:SOAP-ENV='http://www.w3.org/2003/05/soap-envelope'"
      " xmlns:err='http://www.onvif.org/ver10/error'><SOAP-ENV:Body><SOAP-ENV:Fault>"
      "<SOAP-ENV:Code><SOAP-ENV:Value>SOAP-ENV:Sender</SOAP-ENV:Value>"
      "<SOAP-ENV:Subcode><SOAP-ENV:Value>err:NotAuthorized</SOAP-ENV:Value></SOAP-ENV:Subcode>"
      "</SOAP-ENV:Code><SOAP-ENV:Reason><SOAP-ENV:Text xml:lang='en'>Sender not Authorized"
      "</SOAP-ENV:Text></SOAP-ENV:Reason></SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>";
  auto r = onvif::ParseResponse(fault, ns::kDevice, "GetDeviceInformationResponse");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, onvif::ErrorKind::kFault);
  ASSERT_TRUE(r.error().fault);
  EXPECT_EQ(r.error().fault->code, (onvif::QName{std::string(ns::kSoap12), "Sender"}));
  EXPECT_EQ(r.error().fault->reason, "Sender not Authorized");
  EXPECT_TRUE(r.error().NotAuthorized());
  EXPECT_NE(r.error().message.find("NotAuthorized"), std::string::npos);

  // Our own fault builder, nested subcodes elsewhere, and SOAP 1.1.
  auto ours =
      onvif::ParseSoapMessage(onvif::BuildFault("Sender", "ter:NotAuthorized", "wrong <password>"));
  ASSERT_FALSE(ours);
  EXPECT_TRUE(ours.error().NotAuthorized());
  EXPECT_EQ(ours.error().fault->reason, "wrong <password>");
  auto other = onvif::ParseSoapMessage(onvif::BuildFault("Receiver", "ter:Action", "busy"));
  ASSERT_FALSE(other);
  EXPECT_FALSE(other.error().NotAuthorized());
  EXPECT_EQ(other.error().fault->code.local, "Receiver");
  ASSERT_EQ(other.error().fault->subcodes.size(), 1u);
  EXPECT_EQ(other.error().fault->subcodes[0], (onvif::QName{std::string(ns::kError), "Action"}));
  auto old = onvif::ParseSoapMessage(
      "<s:Envelope xmlns:s='http://schemas.xmlsoap.org/soap/envelope/'><s:Body><s:Fault>"
      "<faultcode>s:Client</faultcode><faultstring>no</faultstring></s:Fault></s:Body>"
      "</s:Envelope>");
  ASSERT_FALSE(old);
  EXPECT_EQ(old.error().kind, onvif::ErrorKind::kFault);
  EXPECT_EQ(old.error().fault->code.local, "Client");
  EXPECT_EQ(old.error().fault->reason, "no");
}

TEST(SoapEnvelope, RefusesWhatIsNotAnEnvelopeOrNotTheAnswerExpected) {
  const std::string env = "xmlns:e='http://www.w3.org/2003/05/soap-envelope'";
  for (const std::string& bad :
       {std::string("<html><body>401</body></html>"), std::string("not xml"),
        "<e:Envelope " + env + "/>", "<e:Envelope " + env + "><e:Header/></e:Envelope>",
        "<e:Envelope " + env + "><e:Body/><e:Header/></e:Envelope>",
        "<e:Envelope " + env + "><e:Body/><e:Body/></e:Envelope>",
        "<e:Envelope " + env + "><x/><e:Body/></e:Envelope>",
        std::string("<Envelope><Body/></Envelope>")}) {
    auto r = onvif::ParseSoapMessage(bad);
    ASSERT_FALSE(r) << bad;
    EXPECT_EQ(r.error().kind, onvif::ErrorKind::kMalformed) << bad;
  }
  auto wrong = onvif::ParseResponse("<e:Envelope " + env + "><e:Body><e:x/></e:Body></e:Envelope>",
                                    ns::kDevice, "GetServicesResponse");
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().kind, onvif::ErrorKind::kUnexpected);
  auto empty = onvif::ParseResponse("<e:Envelope " + env + "><e:Body/></e:Envelope>", ns::kDevice,
                                    "GetServicesResponse");
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().kind, onvif::ErrorKind::kUnexpected);
}

TEST(SoapEnvelope, ReferenceParametersEchoWithTheNamespacesTheyRelyOn) {
  auto doc = onvif::XmlDocument::Parse(
      "<r xmlns:a='http://www.w3.org/2005/08/addressing' xmlns:v='urn:vendor' xmlns='urn:dflt'>"
      "<a:ReferenceParameters><v:SubscriptionId a:x='1'>42&amp;</v:SubscriptionId>"
      "<Plain xmlns:v='urn:other'>7</Plain></a:ReferenceParameters></r>");
  ASSERT_TRUE(doc);
  const auto params = doc->Root().FirstChild();
  auto markup = onvif::ReferenceParametersMarkup(params, 4096);
  ASSERT_TRUE(markup);
  onvif::Addressing addressing;
  addressing.referenceParameters = *markup;
  auto message = onvif::ParseSoapMessage(
      onvif::BuildEnvelope("<tds:GetServices/>", std::nullopt, &addressing));
  ASSERT_TRUE(message) << message.error().message << *markup;
  const auto id = message->header.Child("urn:vendor", "SubscriptionId");
  EXPECT_EQ(id.Text(), "42&");
  EXPECT_EQ(id.Attribute(ns::kAddressing, "x"), "1");
  const auto plain = message->header.Child("urn:dflt", "Plain");
  EXPECT_EQ(plain.Text(), "7");
  EXPECT_EQ(plain.LookupPrefix("v"), "urn:other");
  EXPECT_FALSE(onvif::ReferenceParametersMarkup(params, 40));
}

TEST(SoapText, NumbersAndBooleansAreReadStrictly) {
  EXPECT_EQ(onvif::ParseInteger(" 42\n", 0, 100), 42);
  EXPECT_EQ(onvif::ParseInteger("+7", 0, 100), 7);
  EXPECT_EQ(onvif::ParseInteger("-3", -5, 5), -3);
  for (const char* bad : {"", "101", "4 2", "0x10", "1.0", "99999999999999999999", "+-1"}) {
    EXPECT_FALSE(onvif::ParseInteger(bad, 0, 100)) << bad;
  }
  EXPECT_EQ(onvif::ParseDecimal("-0.5"), -0.5);
  EXPECT_EQ(onvif::ParseDecimal("1E-1"), 0.1);
  for (const char* bad : {"", "INF", "NaN", "nan", "1,5", "0.5x"}) {
    EXPECT_FALSE(onvif::ParseDecimal(bad)) << bad;
  }
  EXPECT_EQ(onvif::ParseBoolean(" true "), true);
  EXPECT_EQ(onvif::ParseBoolean("0"), false);
  EXPECT_FALSE(onvif::ParseBoolean("TRUE"));
  EXPECT_EQ(onvif::FormatDecimal(0.25), "0.25");
  EXPECT_EQ(onvif::FormatDecimal(-1), "-1");
  // Long peer texts are cut on a character boundary.
  const std::string euros(3000, 'x');
  EXPECT_EQ(onvif::FieldText(euros).size(), onvif::kMaxFieldBytes);
  std::string multibyte;
  for (int i = 0; i < 400; ++i) multibyte += "\xE2\x82\xAC";
  const std::string cut = onvif::FieldText(multibyte);
  EXPECT_EQ(cut.size() % 3, 0u);
  EXPECT_LE(cut.size(), onvif::kMaxFieldBytes);
}

TEST(SoapEnvelope, MessageIdsAreVersion4Uuids) {
  auto a = onvif::NewMessageId();
  auto b = onvif::NewMessageId();
  ASSERT_TRUE(a && b);
  EXPECT_NE(*a, *b);
  ASSERT_EQ(a->size(), 9u + 36u);
  EXPECT_EQ(a->substr(0, 9), "urn:uuid:");
  EXPECT_EQ((*a)[9 + 14], '4');
  EXPECT_NE(std::string("89ab").find((*a)[9 + 19]), std::string::npos);
}
