// RTP interleaved with RTSP on one connection: packets and messages taken off
// the receive buffer in order, whatever the read sizes.
#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "tmcc/rtsp/codec/interleaved.h"

namespace rt = qrv::tmcc::rtsp;

namespace {

void Append(std::vector<uint8_t>& out, const std::string& s) {
  out.insert(out.end(), s.begin(), s.end());
}

// What a receiver makes of the stream when it reads `chunk` bytes at a time:
// one line per item.
std::vector<std::string> Receive(const std::vector<uint8_t>& stream, size_t chunk) {
  std::vector<std::string> items;
  std::vector<uint8_t> buffer;
  for (size_t at = 0; at < stream.size() || !buffer.empty();) {
    const size_t n = std::min(chunk, stream.size() - at);
    buffer.insert(buffer.end(), stream.begin() + at, stream.begin() + at + n);
    at += n;
    for (;;) {
      const auto item = rt::SplitInterleaved(buffer);
      if (item.kind == rt::InterleavedKind::kNeedMore) break;
      if (item.kind == rt::InterleavedKind::kError) {
        items.push_back("error " + std::string(rt::MessageErrorName(item.error)));
        return items;
      }
      if (item.kind == rt::InterleavedKind::kPacket) {
        items.push_back("packet " + std::to_string(item.channel) + " " +
                        std::to_string(item.packet.size()) + " " +
                        (item.packet.empty() ? "" : std::to_string(item.packet.back())));
      } else if (item.kind == rt::InterleavedKind::kResponse) {
        items.push_back("response " + std::to_string(item.response.status) + " " +
                        item.response.body);
      } else {
        items.push_back("request " + item.request.method);
      }
      buffer.erase(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(item.consumed));
    }
    if (n == 0) break;
  }
  if (!buffer.empty()) items.push_back("left " + std::to_string(buffer.size()));
  return items;
}

}  // namespace

TEST(Interleaved, SplitsPacketsAndMessagesInOrderWhateverTheReadSizes) {
  std::vector<uint8_t> stream;
  Append(stream, "RTSP/1.0 200 OK\r\nCSeq: 4\r\nContent-Length: 2\r\n\r\nok");
  std::vector<uint8_t> rtp(1400, 7);
  rtp.back() = 9;
  ASSERT_TRUE(rt::AppendInterleaved(stream, 0, rtp));
  ASSERT_TRUE(rt::AppendInterleaved(stream, 1, std::vector<uint8_t>(28, 3)));
  ASSERT_TRUE(rt::AppendInterleaved(stream, 0, {}));
  Append(stream, "\r\n");  // stray line end between items
  Append(stream, "GET_PARAMETER rtsp://h/ RTSP/1.0\r\nCSeq: 1\r\n\r\n");
  std::vector<uint8_t> largest(rt::kMaxInterleavedPacket, 5);
  ASSERT_TRUE(rt::AppendInterleaved(stream, 2, largest));
  Append(stream, "RTSP/1.0 454 Session Not Found\r\nCSeq: 5\r\n\r\n");
  Append(stream, "$\x01");  // a packet begun

  const std::vector<std::string> expected = {
      "response 200 ok",       "packet 0 1400 9",  "packet 1 28 3", "packet 0 0 ",
      "request GET_PARAMETER", "packet 2 65535 5", "response 454 ", "left 2"};
  for (size_t chunk : {size_t(1), size_t(3), size_t(1000), stream.size()}) {
    EXPECT_EQ(Receive(stream, chunk), expected) << "reads of " << chunk;
  }
  EXPECT_FALSE(rt::AppendInterleaved(stream, 0, std::vector<uint8_t>(65536)));
}

TEST(Interleaved, RefusesWhatIsNeitherPacketNorMessage) {
  std::vector<uint8_t> stream;
  ASSERT_TRUE(rt::AppendInterleaved(stream, 0, std::vector<uint8_t>(10, 1)));
  Append(stream, "RTSP/1.0 200 OK\r\n folded\r\n\r\n");
  EXPECT_EQ(Receive(stream, 1),
            (std::vector<std::string>{"packet 0 10 1", "error folded header line"}));

  std::vector<uint8_t> garbage = {0x80, 0x60, 0x00, 0x01};
  EXPECT_EQ(Receive(garbage, 1), std::vector<std::string>{"error bad start line"});

  // Line ends alone are skipped only up to the header block's bound.
  std::vector<uint8_t> blank(rt::kMaxHeaderBlock - 1, '\n');
  EXPECT_EQ(rt::SplitInterleaved(blank).kind, rt::InterleavedKind::kNeedMore);
  blank.push_back('\r');
  EXPECT_EQ(rt::SplitInterleaved(blank).kind, rt::InterleavedKind::kError);
  // "R" could start a response or a RECORD request: no verdict yet.
  EXPECT_EQ(rt::SplitInterleaved(std::vector<uint8_t>{'R', 'T', 'S', 'P'}).kind,
            rt::InterleavedKind::kNeedMore);
}
