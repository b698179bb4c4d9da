// Device protocol codec: round trips through builders, the frame decoder and
// the parsers, and refusal of malformed or oversized input.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tmcc/common/codec/base64.h"
#include "tmcc/common/codec/crypto.h"
#include "tmcc/native/codec/auth.h"
#include "tmcc/native/codec/builders.h"
#include "tmcc/native/codec/frame.h"
#include "tmcc/native/codec/parsers.h"

namespace pr = qrv::tmcc::protocol;

namespace {

pr::FrameView DecodeOne(const std::vector<uint8_t>& bytes) {
  auto r = pr::DecodeFrame(bytes);
  EXPECT_EQ(r.status, pr::DecodeStatus::kFrame);
  EXPECT_EQ(r.consumed, bytes.size());
  return r.frame;
}

std::vector<uint8_t> Payload(const std::vector<uint8_t>& frame) {
  return {frame.begin() + pr::kFrameHeaderSize, frame.end()};
}

pr::Nonce Filled(uint8_t v) {
  pr::Nonce n;
  n.fill(v);
  return n;
}

}  // namespace

TEST(ProtocolRoundTrip, EveryMessageSurvivesBuildDecodeParse) {
  std::vector<uint8_t> f;
  ASSERT_TRUE(pr::BuildServerHello(f, 7, {Filled(0xAB)}));
  auto v = DecodeOne(f);
  EXPECT_EQ(v.type, pr::MessageType::kServerHello);
  EXPECT_EQ(v.requestId, 7u);
  EXPECT_EQ(pr::ParseServerHello(v.payload)->serverNonce, Filled(0xAB));

  pr::Login login{pr::Purpose::kStream, 137, Filled(1), {}, "operator"};
  login.proof.fill(9);
  f.clear();
  ASSERT_TRUE(pr::BuildLogin(f, 1, login));
  auto l = pr::ParseLogin(DecodeOne(f).payload);
  ASSERT_TRUE(l);
  EXPECT_EQ(l->purpose, pr::Purpose::kStream);
  EXPECT_EQ(l->streamType, 137);
  EXPECT_EQ(l->clientNonce, Filled(1));
  EXPECT_EQ(l->proof, login.proof);
  EXPECT_EQ(l->user, "operator");

  f.clear();
  pr::LoginResult lr{pr::LoginStatus::kCredentialsRefused, {}};
  ASSERT_TRUE(pr::BuildLoginResult(f, 2, lr));
  EXPECT_EQ(pr::ParseLoginResult(DecodeOne(f).payload)->status,
            pr::LoginStatus::kCredentialsRefused);

  f.clear();
  pr::Request req{pr::RequestCode::kPtz, 21, -5, 40, "x%y"};
  ASSERT_TRUE(pr::BuildRequest(f, 99, req));
  auto rq = pr::ParseRequest(DecodeOne(f).payload);
  ASSERT_TRUE(rq);
  EXPECT_EQ(rq->code, pr::RequestCode::kPtz);
  EXPECT_EQ(rq->arg0, 21);
  EXPECT_EQ(rq->arg1, -5);
  EXPECT_EQ(rq->arg2, 40);
  EXPECT_EQ(rq->text, "x%y");

  f.clear();
  std::vector<uint8_t> jpeg = {0xFF, 0xD8, 1, 2, 3};
  ASSERT_TRUE(pr::BuildAnswer(f, 99, {pr::AnswerStatus::kOk, 640, 360, jpeg}));
  auto an = pr::ParseAnswer(DecodeOne(f).payload);
  ASSERT_TRUE(an);
  EXPECT_EQ(an->width, 640u);
  EXPECT_EQ(an->height, 360u);
  EXPECT_EQ(std::vector<uint8_t>(an->data.begin(), an->data.end()), jpeg);

  f.clear();
  std::vector<uint8_t> nal = {0, 0, 0, 1, 0x65, 0x88};
  pr::StreamData sd{pr::kStreamVideo, 1, 3, 1920, 1080, 0xFFFFFFF0u, 0x123456789ABull, nal};
  ASSERT_TRUE(pr::BuildStreamData(f, 0, sd));
  auto s = pr::ParseStreamData(DecodeOne(f).payload);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->keyFrame, 1);
  EXPECT_EQ(s->channel, 3u);
  EXPECT_EQ(s->sequence, 0xFFFFFFF0u);
  EXPECT_EQ(s->timestampMs, 0x123456789ABull);
  EXPECT_EQ(std::vector<uint8_t>(s->data.begin(), s->data.end()), nal);

  f.clear();
  ASSERT_TRUE(pr::BuildAlarm(f, 4, {2, 3, -77, "127.0.0.10"}));
  auto al = pr::ParseAlarm(DecodeOne(f).payload);
  ASSERT_TRUE(al);
  EXPECT_EQ(al->kind, 3);
  EXPECT_EQ(al->value, -77);
  EXPECT_EQ(al->address, "127.0.0.10");

  f.clear();
  pr::ProbeAnswer pa{5,
                     6001,
                     6002,
                     {1, 2, 3, 4, 5, 6},
                     std::string(32, 'm'),
                     std::string(63, 'i'),
                     "127.100.200.250",
                     "255.255.255.255",
                     "127.0.0.1"};
  ASSERT_TRUE(pr::BuildProbeAnswer(f, 5, pa));
  auto p = pr::ParseProbeAnswer(DecodeOne(f).payload);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->probeId, 5u);
  EXPECT_EQ(p->controlPort, 6001);
  EXPECT_EQ(p->mac, pa.mac);
  EXPECT_EQ(p->identity, pa.identity);
  EXPECT_EQ(p->model, pa.model);
  EXPECT_EQ(p->address, pa.address);
  EXPECT_EQ(p->mask, pa.mask);
}

TEST(FrameDecoder, WaitsForWholeFramesAndSplitsConcatenatedOnes) {
  std::vector<uint8_t> stream;
  ASSERT_TRUE(pr::BuildPing(stream, 1));
  std::vector<uint8_t> nal(1000, 0x42);
  ASSERT_TRUE(pr::BuildStreamData(stream, 2, {pr::kStreamVideo, 0, 0, 0, 0, 8, 0, nal}));
  ASSERT_TRUE(pr::BuildPong(stream, 3));

  // Every proper prefix of the first two frames asks for more, never errs.
  const size_t firstTwo = 2 * pr::kFrameHeaderSize + pr::kStreamDataPrefix + nal.size();
  size_t pos = pr::kFrameHeaderSize;  // after the ping
  for (size_t n = 0; n < firstTwo - pos; ++n) {
    auto r = pr::DecodeFrame(std::span<const uint8_t>(stream.data() + pos, n));
    ASSERT_EQ(r.status, pr::DecodeStatus::kNeedMore) << n;
  }
  std::vector<uint32_t> ids;
  pos = 0;
  while (pos < stream.size()) {
    auto r = pr::DecodeFrame(std::span<const uint8_t>(stream).subspan(pos));
    ASSERT_EQ(r.status, pr::DecodeStatus::kFrame);
    ids.push_back(r.frame.requestId);
    pos += r.consumed;
  }
  EXPECT_EQ(ids, (std::vector<uint32_t>{1, 2, 3}));
}

TEST(FrameDecoder, RefusesBadHeadersAsSoonAsTheyAreVisible) {
  std::vector<uint8_t> good;
  ASSERT_TRUE(pr::BuildPing(good, 1));

  // Garbage is refused from its first byte, before a whole header arrives.
  std::vector<uint8_t> garbage = {'G'};
  EXPECT_EQ(pr::DecodeFrame(garbage).error, pr::DecodeError::kBadMagic);

  auto bad = good;
  bad[4] = 2;
  EXPECT_EQ(pr::DecodeFrame(bad).error, pr::DecodeError::kBadVersion);
  bad = good;
  bad[5] = 0x7F;
  EXPECT_EQ(pr::DecodeFrame(bad).error, pr::DecodeError::kUnknownType);
  bad = good;
  bad[7] = 1;
  EXPECT_EQ(pr::DecodeFrame(bad).error, pr::DecodeError::kReservedNotZero);

  // A ping may carry nothing; a stream frame at most 4 MiB of media. Both are
  // judged from the header alone, so no receiver waits for the payload.
  bad = good;
  bad[12] = 1;
  EXPECT_EQ(pr::DecodeFrame(bad).error, pr::DecodeError::kTooLong);
  std::vector<uint8_t> huge;
  pr::AppendFrameHeader(huge, pr::MessageType::kStreamData, 0,
                        pr::kStreamDataPrefix + pr::kMaxMediaBytes + 1);
  EXPECT_EQ(pr::DecodeFrame(huge).status, pr::DecodeStatus::kError);
  huge.clear();
  pr::AppendFrameHeader(huge, pr::MessageType::kStreamData, 0, 0xFFFFFFFFu);
  EXPECT_EQ(pr::DecodeFrame(huge).error, pr::DecodeError::kTooLong);

  // A receiver's own, smaller bound.
  std::vector<uint8_t> alarm;
  pr::AppendFrameHeader(alarm, pr::MessageType::kAnswer, 0, 100);
  EXPECT_EQ(pr::DecodeFrame(alarm, 64).error, pr::DecodeError::kTooLong);
  EXPECT_EQ(pr::DecodeFrame(alarm, 100).status, pr::DecodeStatus::kNeedMore);
}

TEST(PayloadParsers, RefuseTruncatedTrailingAndMalformedFields) {
  std::vector<uint8_t> f;
  ASSERT_TRUE(pr::BuildLogin(f, 1, {pr::Purpose::kControl, 0, Filled(1), {}, "admin"}));
  auto login = Payload(f);
  for (size_t n = 0; n < login.size(); ++n) {
    EXPECT_FALSE(pr::ParseLogin(std::span<const uint8_t>(login.data(), n))) << n;
  }
  auto longer = login;
  longer.push_back(0);
  EXPECT_FALSE(pr::ParseLogin(longer));
  auto reserved = login;
  reserved[2] = 1;
  EXPECT_FALSE(pr::ParseLogin(reserved));
  auto nul = login;
  nul[69 + 2] = 0;  // a NUL inside the user name
  EXPECT_FALSE(pr::ParseLogin(nul));

  f.clear();
  ASSERT_TRUE(pr::BuildAlarm(f, 1, {0, 3, 1, "127.0.0.2"}));
  auto alarm = Payload(f);
  alarm[12] = 40;  // claims more text than the bound and than is there
  EXPECT_FALSE(pr::ParseAlarm(alarm));

  f.clear();
  ASSERT_TRUE(pr::BuildProbeAnswer(f, 1, {1, 1, 2, {}, "m", "id", "127.0.0.2", "255.0.0.0", ""}));
  auto answer = Payload(f);
  for (size_t n = 0; n < answer.size(); ++n) {
    EXPECT_FALSE(pr::ParseProbeAnswer(std::span<const uint8_t>(answer.data(), n))) << n;
  }
  EXPECT_FALSE(pr::ParseStreamData(std::vector<uint8_t>(27, 0)));
  EXPECT_TRUE(pr::ParseStreamData(std::vector<uint8_t>(28, 0)));
  EXPECT_FALSE(pr::ParseServerHello(std::vector<uint8_t>(31, 0)));
}

TEST(Builders, RefuseOutOfBoundFieldsAndAppendNothing) {
  std::vector<uint8_t> f = {0xEE};
  EXPECT_FALSE(pr::BuildLogin(f, 1, {pr::Purpose::kControl, 0, {}, {}, std::string(32, 'u')}));
  EXPECT_FALSE(pr::BuildLogin(f, 1, {pr::Purpose::kControl, 0, {}, {}, std::string("a\0b", 3)}));
  EXPECT_FALSE(pr::BuildAlarm(f, 1, {0, 3, 0, std::string(32, '1')}));
  EXPECT_FALSE(pr::BuildProbeAnswer(f, 1, {0, 0, 0, {}, "", "", "127.000.000.0001", "", ""}));
  std::vector<uint8_t> tooBig(pr::kMaxMediaBytes + 1);
  EXPECT_FALSE(pr::BuildStreamData(f, 1, {0, 0, 0, 0, 0, 0, 0, tooBig}));
  EXPECT_EQ(f, std::vector<uint8_t>{0xEE});
  // The largest allowed sizes are accepted and decode again.
  std::vector<uint8_t> max(pr::kMaxMediaBytes);
  f.clear();
  ASSERT_TRUE(pr::BuildStreamData(f, 1, {0, 0, 0, 0, 0, 0, 0, max}));
  EXPECT_EQ(pr::DecodeFrame(f).status, pr::DecodeStatus::kFrame);
}

TEST(LoginProofs, BindEverySecretAndContextInput) {
  const pr::Nonce server = Filled(1), client = Filled(2);
  auto proof = pr::ComputeClientProof("secret", server, client, pr::Purpose::kControl, 0, "admin");
  EXPECT_TRUE(pr::ProofsEqual(
      proof, pr::ComputeClientProof("secret", server, client, pr::Purpose::kControl, 0, "admin")));
  EXPECT_FALSE(pr::ProofsEqual(
      proof, pr::ComputeClientProof("secreT", server, client, pr::Purpose::kControl, 0, "admin")));
  EXPECT_FALSE(pr::ProofsEqual(
      proof, pr::ComputeClientProof("secret", client, server, pr::Purpose::kControl, 0, "admin")));
  EXPECT_FALSE(pr::ProofsEqual(
      proof, pr::ComputeClientProof("secret", server, client, pr::Purpose::kStream, 0, "admin")));
  EXPECT_FALSE(pr::ProofsEqual(
      proof, pr::ComputeClientProof("secret", server, client, pr::Purpose::kControl, 1, "admin")));
  EXPECT_FALSE(pr::ProofsEqual(
      proof, pr::ComputeClientProof("secret", server, client, pr::Purpose::kControl, 0, "admim")));
  // The device's proof is a different value from the client's.
  EXPECT_FALSE(pr::ProofsEqual(proof, pr::ComputeServerProof("secret", client, server)));
  // An empty password still gives a keyed, non-zero proof.
  pr::Proof zero{};
  EXPECT_FALSE(pr::ProofsEqual(
      zero, pr::ComputeClientProof("", server, client, pr::Purpose::kControl, 0, "")));

  pr::Nonce a, b;
  ASSERT_TRUE(pr::MakeNonce(a));
  ASSERT_TRUE(pr::MakeNonce(b));
  EXPECT_NE(a, b);
}

// A proof that differs from the right one in a single byte, at any position
// and in any bit, is refused after travelling through builder, frame decoder
// and parser: a comparison cut short anywhere fails here.
TEST(LoginProofs, EverySingleFlippedByteIsRefusedAfterTheWireRoundTrip) {
  const pr::Nonce server = Filled(0x31), client = Filled(0x42);
  const pr::Proof clientProof =
      pr::ComputeClientProof("pw", server, client, pr::Purpose::kStream, 1, "admin");
  const pr::Proof serverProof = pr::ComputeServerProof("pw", client, server);
  for (uint8_t flip : {uint8_t{0x01}, uint8_t{0x80}, uint8_t{0xFF}}) {
    for (size_t i = 0; i <= clientProof.size(); ++i) {  // i == size: unflipped
      pr::Login login;
      login.purpose = pr::Purpose::kStream;
      login.streamType = 1;
      login.clientNonce = client;
      login.proof = clientProof;
      login.user = "admin";
      pr::LoginResult result;
      result.serverProof = serverProof;
      if (i < clientProof.size()) {
        login.proof[i] ^= flip;
        result.serverProof[i] ^= flip;
      }
      std::vector<uint8_t> f;
      ASSERT_TRUE(pr::BuildLogin(f, 1, login));
      auto parsedLogin = pr::ParseLogin(DecodeOne(f).payload);
      f.clear();
      ASSERT_TRUE(pr::BuildLoginResult(f, 2, result));
      auto parsedResult = pr::ParseLoginResult(DecodeOne(f).payload);
      ASSERT_TRUE(parsedLogin && parsedResult);
      const bool intact = i == clientProof.size();
      // The device checking the client, and the library checking the device.
      EXPECT_EQ(pr::ProofsEqual(pr::ComputeClientProof("pw", server, parsedLogin->clientNonce,
                                                       parsedLogin->purpose,
                                                       parsedLogin->streamType, parsedLogin->user),
                                parsedLogin->proof),
                intact)
          << "client proof byte " << i << " flipped by " << int(flip);
      EXPECT_EQ(
          pr::ProofsEqual(pr::ComputeServerProof("pw", client, server), parsedResult->serverProof),
          intact)
          << "device proof byte " << i << " flipped by " << int(flip);
    }
  }
}

namespace {

template <size_t N>
std::string Hex(const std::array<uint8_t, N>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::vector<uint8_t> Bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

}  // namespace

TEST(StandardEncodings, Base64RoundTripsAndRefusesWhatIsNotBase64) {
  // RFC 4648's test vectors, both ways.
  const std::vector<std::pair<std::string, std::string>> vectors = {{"", ""},
                                                                    {"f", "Zg=="},
                                                                    {"fo", "Zm8="},
                                                                    {"foo", "Zm9v"},
                                                                    {"foob", "Zm9vYg=="},
                                                                    {"fooba", "Zm9vYmE="},
                                                                    {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(pr::Base64Encode(Bytes(plain)), encoded);
    auto decoded = pr::Base64Decode(encoded);
    ASSERT_TRUE(decoded) << encoded;
    EXPECT_EQ(*decoded, Bytes(plain));
  }
  std::vector<uint8_t> all(256);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(pr::Base64Decode(pr::Base64Encode(all)), all);
  for (const char* bad :
       {"Zg=", "Zg===", "Z===", "Zm9v!A==", "Zh==", "Zm9=", "=Zm9", "Zg==Zg==", "Zm 9v"})
    EXPECT_FALSE(pr::Base64Decode(bad)) << bad;
}

TEST(StandardEncodings, DigestsMatchTheirPublishedVectors) {
  std::array<uint8_t, pr::kMd5Bytes> md5{};
  std::array<uint8_t, pr::kSha1Bytes> sha1{};
  ASSERT_TRUE(pr::Md5(Bytes(""), md5));
  EXPECT_EQ(Hex(md5), "d41d8cd98f00b204e9800998ecf8427e");
  ASSERT_TRUE(pr::Md5(Bytes("abc"), md5));
  EXPECT_EQ(Hex(md5), "900150983cd24fb0d6963f7d28e17f72");
  ASSERT_TRUE(pr::Sha1(Bytes(""), sha1));
  EXPECT_EQ(Hex(sha1), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  ASSERT_TRUE(pr::Sha1(Bytes("abc"), sha1));
  EXPECT_EQ(Hex(sha1), "a9993e364706816aba3e25717850c26c9cd0d89d");
  const std::pair<const char*, const char*> sha256Vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  std::array<uint8_t, pr::kSha256Bytes> sha256{};
  for (const auto& [plain, digest] : sha256Vectors) {
    ASSERT_TRUE(pr::Sha256(Bytes(plain), sha256)) << plain;
    EXPECT_EQ(Hex(sha256), digest) << plain;
  }
}
