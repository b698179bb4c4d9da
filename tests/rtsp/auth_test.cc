// Authentication: challenges parsed from every form servers send, answers
// checked against the RFCs' worked examples, and nothing a server or a user
// supplies able to end the header line early.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "tmcc/rtsp/codec/auth.h"

namespace rt = qrv::tmcc::rtsp;

namespace {

// RFC 2617 section 3.5 (one header value, as folded lines arrive joined).
const char kRfc2617Challenge[] =
    "Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
    "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"";

rt::Challenge Only(std::string_view value) {
  const auto r = rt::ParseChallenges(value);
  EXPECT_TRUE(r.ok()) << value;
  EXPECT_EQ(r.challenges.size(), 1u) << value;
  return r.challenges.empty() ? rt::Challenge{} : r.challenges[0];
}

}  // namespace

TEST(DigestAuth, MatchesTheRfc2617Example) {
  const rt::Challenge c = Only(kRfc2617Challenge);
  EXPECT_EQ(c.scheme, rt::AuthScheme::kDigest);
  EXPECT_EQ(c.realm, "testrealm@host.com");
  EXPECT_EQ(c.nonce, "dcd98b7102dd2f0e8b11d0f600bfb0c093");
  EXPECT_EQ(c.opaque, "5ccc069c403ebaf9f0171e9517f40e41");
  EXPECT_TRUE(c.qopAuth);
  EXPECT_EQ(rt::DigestAuthorization(
                c, {"Mufasa", "Circle Of Life", "GET", "/dir/index.html", "0a4f113b", 1}),
            "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
            "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", "
            "response=\"6629fae49393a05397450978507c4ef1\", "
            "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\", qop=auth, nc=00000001, "
            "cnonce=\"0a4f113b\"");
}

TEST(DigestAuth, MatchesTheRfc7616Md5ExampleAndTheOtherForms) {
  // RFC 7616 section 3.9.1, MD5.
  const rt::Challenge c = Only(
      "Digest realm=\"http-auth@example.org\", qop=\"auth, auth-int\", algorithm=MD5, "
      "nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", "
      "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\"");
  const auto a = rt::DigestAuthorization(c, {"Mufasa", "Circle of Life", "GET", "/dir/index.html",
                                             "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ", 1});
  ASSERT_TRUE(a);
  EXPECT_NE(a->find("response=\"8ca523f5e9506fed4657c9700eebdbec\""), std::string::npos) << *a;
  EXPECT_NE(a->find(", algorithm=MD5,"), std::string::npos) << *a;

  // No qop offered: the RFC 2069 form, MD5(HA1:nonce:HA2), with no nc or cnonce.
  rt::Challenge old = Only(kRfc2617Challenge);
  old.qopOffered = old.qopAuth = false;
  const auto b =
      rt::DigestAuthorization(old, {"Mufasa", "Circle Of Life", "GET", "/dir/index.html", {}, 1});
  ASSERT_TRUE(b);
  EXPECT_NE(b->find("response=\"670fd8c2df070c60b045671b8b24ff02\""), std::string::npos) << *b;
  EXPECT_EQ(b->find("nc="), std::string::npos);
  EXPECT_EQ(b->find("cnonce"), std::string::npos);

  // MD5-sess: HA1 = MD5(MD5(user:realm:password):nonce:cnonce).
  rt::Challenge sess = Only(std::string(kRfc2617Challenge) + ", algorithm=\"MD5-sess\"");
  EXPECT_EQ(sess.algorithm, rt::DigestAlgorithm::kMd5Sess);
  const auto s = rt::DigestAuthorization(
      sess, {"Mufasa", "Circle Of Life", "GET", "/dir/index.html", "0a4f113b", 1});
  ASSERT_TRUE(s);
  EXPECT_NE(s->find("response=\"8e3825c57e897f5a0dec6c2d4e5059d0\""), std::string::npos) << *s;
  EXPECT_NE(s->find("algorithm=MD5-sess"), std::string::npos) << *s;
  // ... which needs a cnonce even without qop.
  sess.qopOffered = sess.qopAuth = false;
  EXPECT_FALSE(rt::DigestAuthorization(sess, {"u", "p", "GET", "/", {}, 1}));
}

TEST(AuthChallenges, ParsesSeveralPerHeaderAndPerResponse) {
  auto r = rt::ParseChallenges(
      "Basic realm=\"cam\", Digest realm=\"cam\",nonce=abc , stale=TRUE,, Negotiate, "
      "Bearer abc123==, NTLM");
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.challenges.size(), 5u);
  EXPECT_EQ(r.challenges[0].scheme, rt::AuthScheme::kBasic);
  EXPECT_EQ(r.challenges[0].realm, "cam");
  EXPECT_EQ(r.challenges[1].scheme, rt::AuthScheme::kDigest);
  EXPECT_EQ(r.challenges[1].nonce, "abc");
  EXPECT_TRUE(r.challenges[1].stale);
  EXPECT_FALSE(r.challenges[1].qopOffered);
  EXPECT_EQ(r.challenges[2].schemeName, "Negotiate");
  EXPECT_EQ(r.challenges[3].schemeName, "Bearer");
  EXPECT_EQ(r.challenges[4].schemeName, "NTLM");
  EXPECT_EQ(rt::ChooseChallenge(r.challenges, true)->scheme, rt::AuthScheme::kDigest);

  const std::vector<std::string_view> headers = {"Basic realm=\"a\"",
                                                 "Digest realm=\"b\", nonce=\"n\", qop=auth"};
  r = rt::ParseChallenges(headers);
  ASSERT_EQ(r.challenges.size(), 2u);
  EXPECT_EQ(rt::ChooseChallenge(r.challenges, false)->realm, "b");

  // Escapes inside quoted strings are taken off, and put back when answering.
  const rt::Challenge q = Only(R"(Digest realm="a \"quoted\" \\ realm", nonce="n\x")");
  EXPECT_EQ(q.realm, R"(a "quoted" \ realm)");
  EXPECT_EQ(q.nonce, "nx");
  const auto a = rt::DigestAuthorization(q, {"us\"er", "p", "DESCRIBE", "rtsp://h/", {}, 1});
  ASSERT_TRUE(a);
  EXPECT_EQ(a->rfind(R"(Digest username="us\"er", realm="a \"quoted\" \\ realm", nonce="nx", )", 0),
            0u)
      << *a;
}

TEST(AuthChallenges, ChoosesTheStrongestThatCanBeAnsweredAndBasicOnlyWhenAllowed) {
  auto choose = [](std::string_view value, bool allowBasic = true) {
    return rt::ChooseChallenge(rt::ParseChallenges(value).challenges, allowBasic);
  };
  EXPECT_FALSE(choose("Digest realm=\"r\", nonce=\"n\", algorithm=SHA-512-256"));
  EXPECT_FALSE(choose("Digest realm=\"r\", nonce=\"n\", qop=\"auth-int\""));
  EXPECT_FALSE(choose("Digest realm=\"r\""));
  EXPECT_FALSE(choose("Digest nonce=\"n\""));
  EXPECT_FALSE(choose("Negotiate"));
  EXPECT_EQ(
      choose("Digest realm=\"r\", nonce=\"n\", algorithm=SHA-512-256, Basic realm=\"r\"")->scheme,
      rt::AuthScheme::kBasic);
  EXPECT_FALSE(choose("Basic realm=\"r\"", false));
  // SHA-256 wins over MD5 in whatever order they come.
  EXPECT_EQ(choose("Digest realm=\"r\", nonce=\"n\", algorithm=MD5, "
                   "Digest realm=\"r\", nonce=\"n\", algorithm=sha-256",
                   false)
                ->algorithm,
            rt::DigestAlgorithm::kSha256);
}

TEST(DigestAuth, MatchesTheRfc7616Sha256ExampleAndItsSessionForm) {
  // RFC 7616 section 3.9.1, SHA-256.
  const std::string challenge =
      "Digest realm=\"http-auth@example.org\", qop=\"auth, auth-int\", algorithm=SHA-256, "
      "nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", "
      "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\"";
  const rt::DigestInput in{"Mufasa",
                           "Circle of Life",
                           "GET",
                           "/dir/index.html",
                           "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ",
                           1};
  const auto a = rt::DigestAuthorization(Only(challenge), in);
  ASSERT_TRUE(a);
  EXPECT_NE(
      a->find("response=\"753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1\""),
      std::string::npos)
      << *a;
  EXPECT_NE(a->find(", algorithm=SHA-256,"), std::string::npos) << *a;
  // The session form: HA1 = H(H(user:realm:password):nonce:cnonce).
  std::string sessChallenge = challenge;
  sessChallenge.replace(sessChallenge.find("SHA-256"), 7, "SHA-256-sess");
  const auto s = rt::DigestAuthorization(Only(sessChallenge), in);
  ASSERT_TRUE(s);
  EXPECT_NE(
      s->find("response=\"2fd51b3a77ad75bad6afad6003e818d767133c46d9e2749e7f5232ae1ea3efd7\""),
      std::string::npos)
      << *s;
  EXPECT_NE(s->find(", algorithm=SHA-256-sess,"), std::string::npos) << *s;
}

TEST(AuthChallenges, RefusesMalformedAndOversizedChallenges) {
  struct Case {
    std::string value;
    rt::AuthError error;
  };
  const Case cases[] = {
      {"Digest realm=\"unterminated", rt::AuthError::kMalformed},
      {"Digest realm=\"a\\", rt::AuthError::kMalformed},
      {"Digest realm=\"a\" nonce=\"b\"", rt::AuthError::kMalformed},
      {"Digest realm=\"a\rb\", nonce=\"n\"", rt::AuthError::kMalformed},
      {"\"Digest\"", rt::AuthError::kMalformed},
      {"Digest=", rt::AuthError::kMalformed},
      {"Digest realm=\"" + std::string(rt::kMaxAuthParamLength + 1, 'r') + "\"",
       rt::AuthError::kTooLong},
      {"Digest realm=" + std::string(rt::kMaxAuthParamLength + 1, 'r'), rt::AuthError::kTooLong},
  };
  for (const auto& c : cases) {
    const auto r = rt::ParseChallenges(c.value);
    EXPECT_EQ(r.error, c.error) << c.value;
    EXPECT_TRUE(r.challenges.empty()) << c.value;
  }
  std::string many;
  for (size_t i = 0; i <= rt::kMaxChallenges; ++i) many += "Basic realm=\"r\", ";
  EXPECT_EQ(rt::ParseChallenges(many).error, rt::AuthError::kTooMany);
  std::string params = "Digest ";
  for (size_t i = 0; i <= rt::kMaxAuthParams; ++i) params += "p" + std::to_string(i) + "=1, ";
  EXPECT_EQ(rt::ParseChallenges(params).error, rt::AuthError::kTooMany);
  // The longest value is taken.
  EXPECT_TRUE(
      rt::ParseChallenges("Basic realm=\"" + std::string(rt::kMaxAuthParamLength, 'r') + "\"")
          .ok());
}

TEST(AuthAnswers, RefuseValuesThatWouldEndTheHeaderLine) {
  EXPECT_EQ(rt::BasicAuthorization("Aladdin", "open sesame"), "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  EXPECT_FALSE(rt::BasicAuthorization("user:name", "p"));
  EXPECT_FALSE(rt::BasicAuthorization("user", "p\r\nX: y"));

  const rt::Challenge c = Only(kRfc2617Challenge);
  const rt::DigestInput good{"user", "pass", "DESCRIBE", "rtsp://h/live", "cn", 1};
  ASSERT_TRUE(rt::DigestAuthorization(c, good));
  auto with = [&](auto change) {
    rt::DigestInput in = good;
    change(in);
    return rt::DigestAuthorization(c, in);
  };
  EXPECT_FALSE(with([](auto& in) { in.user = "user\r\nX: y"; }));
  EXPECT_FALSE(with([](auto& in) { in.password = "pa\nss"; }));
  EXPECT_FALSE(with([](auto& in) { in.uri = "rtsp://h/\r\n"; }));
  EXPECT_FALSE(with([](auto& in) { in.method = "DESCRIBE X"; }));
  EXPECT_FALSE(with([](auto& in) { in.cnonce = ""; }));
  EXPECT_FALSE(with([](auto& in) { in.cnonce = "a\"b"; }));
  rt::Challenge evil = c;
  evil.opaque = "o\r\nInjected: 1";
  EXPECT_FALSE(rt::DigestAuthorization(evil, good));
  evil = c;
  evil.nonce = "n\n";
  EXPECT_FALSE(rt::DigestAuthorization(evil, good));
  // Basic is no Digest challenge.
  EXPECT_FALSE(rt::DigestAuthorization(Only("Basic realm=\"r\""), good));
}

TEST(Authenticator, CountsNonceUsesAndTellsRefusalFromAStaleNonce) {
  rt::Authenticator auth("Mufasa", "Circle Of Life", false);
  EXPECT_FALSE(auth.Authorization("DESCRIBE", "rtsp://h/"));
  const std::vector<std::string_view> first = {kRfc2617Challenge};
  ASSERT_EQ(auth.OnChallenge(first), rt::Authenticator::Verdict::kRetry);
  const auto a1 = auth.Authorization("DESCRIBE", "rtsp://h/");
  const auto a2 = auth.Authorization("SETUP", "rtsp://h/trackID=1");
  ASSERT_TRUE(a1 && a2);
  EXPECT_NE(a1->find("nc=00000001"), std::string::npos);
  EXPECT_NE(a2->find("nc=00000002"), std::string::npos);
  EXPECT_NE(a2->find("uri=\"rtsp://h/trackID=1\""), std::string::npos);

  // The same nonce again after an answer: the password is wrong.
  EXPECT_EQ(auth.OnChallenge(first), rt::Authenticator::Verdict::kRefused);
  // A stale nonce is replaced, and counting starts again.
  const std::string staleValue =
      "Digest realm=\"testrealm@host.com\", qop=\"auth\", nonce=\"fresh\", stale=true";
  const std::vector<std::string_view> stale = {staleValue};
  ASSERT_EQ(auth.OnChallenge(stale), rt::Authenticator::Verdict::kRetry);
  const auto a3 = auth.Authorization("PLAY", "rtsp://h/");
  ASSERT_TRUE(a3);
  EXPECT_NE(a3->find("nonce=\"fresh\""), std::string::npos);
  EXPECT_NE(a3->find("nc=00000001"), std::string::npos);

  rt::Authenticator basic("u", "p", true);
  const std::vector<std::string_view> realm = {"Basic realm=\"r\""};
  ASSERT_EQ(basic.OnChallenge(realm), rt::Authenticator::Verdict::kRetry);
  EXPECT_EQ(basic.Authorization("OPTIONS", "*"), "Basic dTpw");
  EXPECT_EQ(basic.OnChallenge(realm), rt::Authenticator::Verdict::kRefused);
  const std::vector<std::string_view> unknown = {"Negotiate"};
  EXPECT_EQ(basic.OnChallenge(unknown), rt::Authenticator::Verdict::kUnsupported);
}

TEST(Authenticator, SendsNothingForBasicUnlessAllowedNorForAnUnknownAlgorithm) {
  struct Case {
    const char* challenge;
    bool allowBasic;
    rt::Authenticator::Verdict verdict;
  };
  const Case cases[] = {
      {"Basic realm=\"r\"", false, rt::Authenticator::Verdict::kBasicRefused},
      {"Basic realm=\"r\"", true, rt::Authenticator::Verdict::kRetry},
      {"Digest realm=\"r\", nonce=\"n\", algorithm=SHA-512-256", false,
       rt::Authenticator::Verdict::kUnsupported},
      {"Digest realm=\"r\", nonce=\"n\", algorithm=SHA-512-256, Basic realm=\"r\"", false,
       rt::Authenticator::Verdict::kBasicRefused},
      {"Digest realm=\"r\", nonce=\"n\", algorithm=SHA-256-sess, qop=auth", false,
       rt::Authenticator::Verdict::kRetry},
  };
  for (const auto& c : cases) {
    rt::Authenticator auth("u", "p", c.allowBasic);
    const std::vector<std::string_view> values = {c.challenge};
    EXPECT_EQ(auth.OnChallenge(values), c.verdict) << c.challenge;
    const auto answer = auth.Authorization("DESCRIBE", "rtsp://h/");
    EXPECT_EQ(answer.has_value(), c.verdict == rt::Authenticator::Verdict::kRetry) << c.challenge;
    if (answer) {
      EXPECT_EQ(answer->starts_with("Basic "), c.allowBasic) << *answer;
    }
  }
}
