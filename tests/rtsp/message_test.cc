// RTSP and HTTP messages: responses and requests parsed from a receive buffer
// the same whether they arrive at once or byte by byte, every bound and
// malformation refused, and builders that refuse to split a header line.
#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "tmcc/rtsp/codec/message.h"

namespace rt = qrv::tmcc::rtsp;
using namespace std::string_literals;

namespace {

std::span<const uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Feeds every prefix of text as a receiver would, and checks that each one
// short of the message's end needs more, and that the answer then matches
// the one for the whole text at once.
template <typename Parse>
auto Incrementally(const std::string& text, Parse parse) {
  const auto whole = parse(Bytes(text));
  for (size_t n = 0; n <= text.size(); ++n) {
    const auto r = parse(Bytes(text).first(n));
    if (r.status == rt::ParseStatus::kNeedMore) continue;
    EXPECT_EQ(r.status, whole.status) << "after " << n << " bytes";
    EXPECT_EQ(r.error, whole.error) << "after " << n << " bytes";
    EXPECT_EQ(r.consumed, whole.consumed) << "after " << n << " bytes";
    if (r.status == rt::ParseStatus::kMessage) {
      EXPECT_EQ(n, r.consumed) << "a message was judged before its last byte";
    }
    return r;
  }
  return whole;
}

auto Rtsp = [](std::span<const uint8_t> b) { return rt::ParseRtspResponse(b); };
auto Http = [](std::span<const uint8_t> b) { return rt::ParseHttpResponse(b); };

const std::string kDescribe =
    "RTSP/1.0 200 OK\r\n"
    "CSeq: 2\r\n"
    "content-base: rtsp://192.0.2.10/live/\r\n"
    "Content-Type: application/sdp\r\n"
    "X-Empty:\r\n"
    "Content-Length: 10\r\n"
    "\r\n"
    "v=0\r\ns=x\r\n";

}  // namespace

TEST(RtspResponse, ParsesTheSameAtOnceAndByteByByte) {
  // With a second message behind it, which must be left alone.
  const std::string twice = kDescribe + "RTSP/1.0 454 Session Not Found\r\nCSeq: 3\r\n\r\n";
  const auto r = Incrementally(twice, Rtsp);
  ASSERT_EQ(r.status, rt::ParseStatus::kMessage);
  EXPECT_EQ(r.consumed, kDescribe.size());
  EXPECT_EQ(r.response.protocol, "RTSP/1.0");
  EXPECT_EQ(r.response.status, 200);
  EXPECT_EQ(r.response.reason, "OK");
  EXPECT_EQ(r.response.cseq(), 2u);
  EXPECT_EQ(r.response.headers.Find("Content-Base"), "rtsp://192.0.2.10/live/");
  EXPECT_EQ(r.response.headers.Find("x-empty"), "");
  EXPECT_FALSE(r.response.headers.Find("Session"));
  EXPECT_EQ(r.response.body, "v=0\r\ns=x\r\n");

  const auto second = rt::ParseRtspResponse(Bytes(twice).subspan(r.consumed));
  ASSERT_EQ(second.status, rt::ParseStatus::kMessage);
  EXPECT_EQ(second.response.status, 454);
  EXPECT_EQ(second.response.reason, "Session Not Found");
  EXPECT_EQ(second.response.body, "");
  EXPECT_EQ(second.consumed, twice.size() - kDescribe.size());
}

TEST(RtspResponse, TakesBareLineFeedsAndAMissingReason) {
  const std::string text = "RTSP/1.0 200\nCSeq: 9\nSession:  12345678;timeout=60 \n\n";
  const auto r = Incrementally(text, Rtsp);
  ASSERT_EQ(r.status, rt::ParseStatus::kMessage);
  EXPECT_EQ(r.response.reason, "");
  EXPECT_EQ(r.response.headers.Find("session"), "12345678;timeout=60");
  EXPECT_EQ(r.consumed, text.size());
}

TEST(RtspResponse, RefusesMalformedMessagesAlikeAtOnceAndByteByByte) {
  struct Case {
    std::string text;
    rt::MessageError error;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\n\r\n", rt::MessageError::kBadStartLine},
      {"\r\nRTSP/1.0 200 OK\r\n\r\n", rt::MessageError::kBadStartLine},
      {"RTSP/1.0 20 OK\r\n\r\n", rt::MessageError::kBadStartLine},
      {"RTSP/1.0 200OK\r\n\r\n", rt::MessageError::kBadStartLine},
      {"RTSP/1.0 099 Low\r\n\r\n", rt::MessageError::kBadStartLine},
      {"RTSP/10 200 OK\r\n\r\n", rt::MessageError::kBadStartLine},
      {"RTSP/1.0 200 O\rK\r\n\r\n", rt::MessageError::kBadStartLine},
      {"RTSP/1.0 200 OK\r\nCSeq: 1\r\n folded\r\n\r\n", rt::MessageError::kFoldedHeader},
      {"RTSP/1.0 200 OK\r\nCSeq: 1\r\n\tfolded\r\n\r\n", rt::MessageError::kFoldedHeader},
      {"RTSP/1.0 200 OK\r\nNo colon here\r\n\r\n", rt::MessageError::kBadHeader},
      {"RTSP/1.0 200 OK\r\nCSeq : 1\r\n\r\n", rt::MessageError::kBadHeader},
      {"RTSP/1.0 200 OK\r\n: 1\r\n\r\n", rt::MessageError::kBadHeader},
      {"RTSP/1.0 200 OK\r\nX: a\rInjected: b\r\n\r\n", rt::MessageError::kBadHeader},
      {"RTSP/1.0 200 OK\r\nX: a\0b\r\n\r\n"s, rt::MessageError::kBadHeader},
      {"RTSP/1.0 200 OK\r\nContent-Length: 1x\r\n\r\nx", rt::MessageError::kBadContentLength},
      {"RTSP/1.0 200 OK\r\nContent-Length: -1\r\n\r\n", rt::MessageError::kBadContentLength},
      {"RTSP/1.0 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nxx",
       rt::MessageError::kBadContentLength},
      {"RTSP/1.0 200 OK\r\nContent-Length: 65537\r\n\r\n", rt::MessageError::kBodyTooLong},
      {"RTSP/1.0 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n",
       rt::MessageError::kBadContentLength},
  };
  for (const auto& c : cases) {
    const auto r = Incrementally(c.text, Rtsp);
    EXPECT_EQ(r.status, rt::ParseStatus::kError) << c.text;
    EXPECT_EQ(r.error, c.error) << c.text;
  }
  // Agreeing duplicates are one length.
  const auto same = rt::ParseRtspResponse(
      Bytes("RTSP/1.0 200 OK\r\nContent-Length: 2\r\ncontent-length: 2\r\n\r\nok"));
  ASSERT_EQ(same.status, rt::ParseStatus::kMessage);
  EXPECT_EQ(same.response.body, "ok");
}

TEST(RtspResponse, RefusesOversizedMessagesBeforeTheyAreWhole) {
  // A header block that never ends is refused at the bound, not buffered on.
  std::string endless = "RTSP/1.0 200 OK\r\n";
  while (endless.size() < rt::kMaxHeaderBlock) endless += "X-Filler: 0123456789\r\n";
  auto r = rt::ParseRtspResponse(Bytes(endless).first(rt::kMaxHeaderBlock - 1));
  EXPECT_EQ(r.status, rt::ParseStatus::kNeedMore);
  r = rt::ParseRtspResponse(Bytes(endless).first(rt::kMaxHeaderBlock));
  EXPECT_EQ(r.error, rt::MessageError::kHeaderBlockTooLong);
  EXPECT_EQ(rt::ParseRtspResponse(Bytes(endless + "\r\n")).error,
            rt::MessageError::kHeaderBlockTooLong);

  // 64 headers are fine, 65 are not.
  std::string many = "RTSP/1.0 200 OK\r\n";
  for (size_t i = 0; i < rt::kMaxHeaderCount; ++i) many += "X: " + std::to_string(i) + "\r\n";
  EXPECT_EQ(rt::ParseRtspResponse(Bytes(many + "\r\n")).response.headers.size(),
            rt::kMaxHeaderCount);
  EXPECT_EQ(rt::ParseRtspResponse(Bytes(many + "Y: 1\r\n\r\n")).error,
            rt::MessageError::kTooManyHeaders);

  // A body over the bound is refused from its announced length alone.
  const std::string big =
      "RTSP/1.0 200 OK\r\nContent-Length: " + std::to_string(rt::kMaxBody + 1) + "\r\n\r\n";
  EXPECT_EQ(rt::ParseRtspResponse(Bytes(big)).error, rt::MessageError::kBodyTooLong);
  const std::string largest = "RTSP/1.0 200 OK\r\nContent-Length: " + std::to_string(rt::kMaxBody) +
                              "\r\n\r\n" + std::string(rt::kMaxBody, 'b');
  EXPECT_EQ(rt::ParseRtspResponse(Bytes(largest)).response.body.size(), rt::kMaxBody);

  // Smaller limits of a caller's own.
  rt::MessageLimits tight;
  tight.maxBody = 4;
  EXPECT_EQ(rt::ParseRtspResponse(Bytes(kDescribe), tight).error, rt::MessageError::kBodyTooLong);
}

TEST(RtspResponse, CseqIsANumberOnlyWhenThereIsExactlyOne) {
  auto cseq = [](const std::string& headers) {
    return rt::ParseRtspResponse(Bytes("RTSP/1.0 200 OK\r\n" + headers + "\r\n")).response.cseq();
  };
  EXPECT_EQ(cseq("CSeq: 4294967295\r\n"), 4294967295u);
  EXPECT_FALSE(cseq("CSeq: 4294967296\r\n"));
  EXPECT_FALSE(cseq("CSeq: 1\r\nCSeq: 1\r\n"));
  EXPECT_FALSE(cseq("CSeq: one\r\n"));
  EXPECT_FALSE(cseq(""));
}

TEST(RtspRequest, ParsesWhatAServerSendsItsClient) {
  const std::string text =
      "SET_PARAMETER rtsp://192.0.2.10/live RTSP/1.0\r\nCSeq: 7\r\n"
      "Content-Length: 5\r\n\r\nhello";
  const auto r = Incrementally(text, [](auto b) { return rt::ParseRtspRequest(b); });
  ASSERT_EQ(r.status, rt::ParseStatus::kMessage);
  EXPECT_EQ(r.request.method, "SET_PARAMETER");
  EXPECT_EQ(r.request.uri, "rtsp://192.0.2.10/live");
  EXPECT_EQ(r.request.protocol, "RTSP/1.0");
  EXPECT_EQ(r.request.cseq(), 7u);
  EXPECT_EQ(r.request.body, "hello");

  for (const std::string bad :
       {"GET\x01 / RTSP/1.0\r\n\r\n", "OPTIONS * HTTP/1.1\r\n\r\n", "OPTIONS  RTSP/1.0\r\n\r\n",
        "OPTIONS * RTSP/1.0 x\r\n\r\n", "OPTIONS *\r\n\r\n"}) {
    EXPECT_EQ(rt::ParseRtspRequest(Bytes(bad)).error, rt::MessageError::kBadStartLine) << bad;
  }
  // A peer speaking something else is refused on its first byte.
  EXPECT_EQ(rt::ParseRtspRequest(Bytes("<")).status, rt::ParseStatus::kError);
}

TEST(HttpRequest, ParsesAServersRequestsAndRefusesWhatItCannotBound) {
  const std::string text =
      "POST /onvif/device_service HTTP/1.1\r\nHost: 127.0.0.10\r\n"
      "Content-Length: 4\r\n\r\n<a/>GET";
  const auto r = Incrementally(text, [](auto b) { return rt::ParseHttpRequest(b); });
  ASSERT_EQ(r.status, rt::ParseStatus::kMessage);
  EXPECT_EQ(r.request.method, "POST");
  EXPECT_EQ(r.request.uri, "/onvif/device_service");
  EXPECT_EQ(r.request.protocol, "HTTP/1.1");
  EXPECT_EQ(r.request.body, "<a/>");
  EXPECT_EQ(r.consumed, text.size() - 3);

  const auto get = rt::ParseHttpRequest(Bytes("GET /snapshot/0.jpg HTTP/1.0\r\n\r\n"));
  ASSERT_EQ(get.status, rt::ParseStatus::kMessage);
  EXPECT_TRUE(get.request.body.empty());

  EXPECT_EQ(rt::ParseHttpRequest(Bytes("OPTIONS * RTSP/1.0\r\n\r\n")).error,
            rt::MessageError::kBadStartLine);
  EXPECT_EQ(rt::ParseHttpRequest(Bytes("<")).status, rt::ParseStatus::kError);
  // A chunked body is refused, never taken as an empty one followed by junk.
  EXPECT_EQ(rt::ParseHttpRequest(
                Bytes("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n"))
                .error,
            rt::MessageError::kUnsupportedTransferEncoding);
  // The body bound is judged from the header, before the body arrives.
  rt::MessageLimits tight;
  tight.maxBody = 8;
  EXPECT_EQ(
      rt::ParseHttpRequest(Bytes("POST / HTTP/1.1\r\nContent-Length: 9\r\n\r\n"), tight).error,
      rt::MessageError::kBodyTooLong);
}

TEST(HttpResponse, ReadsLengthChunkedAndCloseDelimitedBodies) {
  const std::string sized = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcHTTP/1.1";
  auto r = Incrementally(sized, Http);
  ASSERT_EQ(r.status, rt::ParseStatus::kMessage);
  EXPECT_EQ(r.response.body, "abc");
  EXPECT_EQ(r.consumed, sized.size() - 8);

  const std::string chunked =
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\nContent-Length: 99\r\n\r\n"
      "5;name=value\r\nhello\r\n"
      "1A\r\n, and twenty-six more byte\r\n"
      "0\r\nX-Trailer: t\r\n\r\n";
  r = Incrementally(chunked + "next", Http);
  ASSERT_EQ(r.status, rt::ParseStatus::kMessage) << rt::MessageErrorName(r.error);
  EXPECT_EQ(r.response.body, "hello, and twenty-six more byte");
  EXPECT_EQ(r.consumed, chunked.size());
  EXPECT_EQ(Incrementally("HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\n2\nok\n0\n\n", Http)
                .response.body,
            "ok");

  // No length: the body runs to the end of the connection.
  const std::string open = "HTTP/1.0 200 OK\r\n\r\n<soap/>";
  EXPECT_EQ(rt::ParseHttpResponse(Bytes(open)).status, rt::ParseStatus::kNeedMore);
  r = rt::ParseHttpResponse(Bytes(open), true);
  ASSERT_EQ(r.status, rt::ParseStatus::kMessage);
  EXPECT_EQ(r.response.body, "<soap/>");
  EXPECT_EQ(r.consumed, open.size());

  // These carry no body whatever they announce.
  for (const char* status : {"100 Continue", "204 No Content", "304 Not Modified"}) {
    const std::string text = std::string("HTTP/1.1 ") + status + "\r\nContent-Length: 4\r\n\r\n";
    r = rt::ParseHttpResponse(Bytes(text));
    ASSERT_EQ(r.status, rt::ParseStatus::kMessage) << status;
    EXPECT_EQ(r.consumed, text.size()) << status;
  }
}

TEST(HttpResponse, RefusesBrokenAndOversizedBodies) {
  const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  struct Case {
    std::string text;
    rt::MessageError error;
  };
  const Case cases[] = {
      {head + "zz\r\n", rt::MessageError::kBadChunk},
      {head + "\r\n", rt::MessageError::kBadChunk},
      {head + "123456789\r\n", rt::MessageError::kBadChunk},
      {head + "2\r\nokX\r\n", rt::MessageError::kBadChunk},
      {head + "2\r\nok\rX", rt::MessageError::kBadChunk},
      {head + std::string(300, '0'), rt::MessageError::kBadChunk},
      {head + "10001\r\n", rt::MessageError::kBodyTooLong},
      {head + "0\r\nX: a\x01\r\n\r\n", rt::MessageError::kBadChunk},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n",
       rt::MessageError::kUnsupportedTransferEncoding},
      {"HTTP/1.1 200 OK\r\nContent-Length: 65537\r\n\r\n", rt::MessageError::kBodyTooLong},
      {"RTSP/1.0 200 OK\r\n\r\n", rt::MessageError::kBadStartLine},
  };
  for (const auto& c : cases) {
    const auto r = Incrementally(c.text, Http);
    EXPECT_EQ(r.status, rt::ParseStatus::kError) << c.text;
    EXPECT_EQ(r.error, c.error) << c.text;
  }
  // Chunks adding up past the body bound, and a close-delimited body past it.
  std::string many = head;
  for (int i = 0; i < 17; ++i) many += "1000\r\n" + std::string(0x1000, 'c') + "\r\n";
  EXPECT_EQ(rt::ParseHttpResponse(Bytes(many)).error, rt::MessageError::kBodyTooLong);
  const std::string open = "HTTP/1.1 200 OK\r\n\r\n" + std::string(rt::kMaxBody + 1, 'o');
  EXPECT_EQ(rt::ParseHttpResponse(Bytes(open)).error, rt::MessageError::kBodyTooLong);
  // A chunk-size line may be 256 bytes long, its CR not counted.
  const std::string ext = "2;" + std::string(254, 'e');
  EXPECT_EQ(Incrementally(head + ext + "\r\nok\r\n0\r\n\r\n", Http).response.body, "ok");
  EXPECT_EQ(Incrementally(head + ext + "e\r\nok\r\n0\r\n\r\n", Http).error,
            rt::MessageError::kBadChunk);
  // Trailers are bounded like a header block.
  std::string trailers = head + "0\r\n";
  while (trailers.size() < head.size() + rt::kMaxHeaderBlock + 16) trailers += "X: y\r\n";
  EXPECT_EQ(rt::ParseHttpResponse(Bytes(trailers)).error, rt::MessageError::kHeaderBlockTooLong);
  // One-byte chunks cost more on the wire than in the body; that is bounded too.
  std::string tiny = head;
  while (tiny.size() < 2 * rt::kMaxBody + 8192) tiny += "1\r\nx\r\n";
  EXPECT_EQ(rt::ParseHttpResponse(Bytes(tiny)).error, rt::MessageError::kBodyTooLong);
}

TEST(MessageBuilders, WriteRequestsAndResponsesThatParseBack) {
  rt::OutgoingRequest setup{"SETUP",
                            "rtsp://192.0.2.10/live/trackID=1",
                            {{"Transport", "RTP/AVP/TCP;unicast;interleaved=0-1"}},
                            {}};
  EXPECT_EQ(rt::BuildRtspRequest(setup, 3),
            "SETUP rtsp://192.0.2.10/live/trackID=1 RTSP/1.0\r\nCSeq: 3\r\n"
            "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
  rt::OutgoingRequest post{"POST", "/onvif/device_service", {{"Host", "192.0.2.10"}}, "<e/>"};
  EXPECT_EQ(rt::BuildHttpRequest(post),
            "POST /onvif/device_service HTTP/1.1\r\nHost: 192.0.2.10\r\n"
            "Content-Length: 4\r\n\r\n<e/>");

  const auto built = rt::BuildRtspResponse(200, "OK", 5, {{"Session", "abc;timeout=60"}}, "body");
  ASSERT_TRUE(built);
  const auto parsed = rt::ParseRtspResponse(Bytes(*built));
  ASSERT_EQ(parsed.status, rt::ParseStatus::kMessage);
  EXPECT_EQ(parsed.consumed, built->size());
  EXPECT_EQ(parsed.response.cseq(), 5u);
  EXPECT_EQ(parsed.response.headers.Find("session"), "abc;timeout=60");
  EXPECT_EQ(parsed.response.body, "body");
}

TEST(MessageBuilders, RefuseAnythingThatCouldSplitAHeaderLine) {
  const rt::OutgoingRequest good{"DESCRIBE", "rtsp://h/live", {{"Accept", "application/sdp"}}, {}};
  ASSERT_TRUE(rt::BuildRtspRequest(good, 1));
  auto with = [&](auto change) {
    rt::OutgoingRequest r = good;
    change(r);
    return rt::BuildRtspRequest(r, 1);
  };
  EXPECT_FALSE(with([](auto& r) { r.method = "DESCRIBE\r\nX:"; }));
  EXPECT_FALSE(with([](auto& r) { r.method = "DE SCRIBE"; }));
  EXPECT_FALSE(with([](auto& r) { r.method = ""; }));
  EXPECT_FALSE(with([](auto& r) { r.uri = "rtsp://h/live\r\nX: y"; }));
  EXPECT_FALSE(with([](auto& r) { r.uri = "rtsp://h/a b"; }));
  EXPECT_FALSE(with([](auto& r) { r.uri = ""; }));
  EXPECT_FALSE(with([](auto& r) { r.headers[0].value = "application/sdp\r\nInjected: 1"; }));
  EXPECT_FALSE(with([](auto& r) { r.headers[0].value = "a\nb"; }));
  EXPECT_FALSE(with([](auto& r) { r.headers[0].value = std::string("a\0b", 3); }));
  EXPECT_FALSE(with([](auto& r) { r.headers[0].name = "Accept\r\nX"; }));
  EXPECT_FALSE(with([](auto& r) { r.headers[0].name = "Bad Name"; }));
  EXPECT_FALSE(with([](auto& r) { r.headers[0].name = "cseq"; }));
  EXPECT_FALSE(with([](auto& r) { r.headers[0].name = "Content-Length"; }));
  EXPECT_TRUE(with([](auto& r) { r.headers[0].value = "tab\tinside"; }));
  EXPECT_FALSE(rt::BuildRtspResponse(200, "OK\r\nX: y", 1, {}));
  EXPECT_FALSE(rt::BuildRtspResponse(600, "Odd", 1, {}));
}
