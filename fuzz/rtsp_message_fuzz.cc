// Feeds arbitrary bytes to the RTSP and HTTP message parsers and to the
// interleaved splitter the way a receiver does. Checks that an answer never
// claims more bytes than it was given, that a message is judged the same
// whether its bytes came at once or one by one, and that whatever a response
// parser accepts builds back into a response that parses the same.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tmcc/rtsp/codec/interleaved.h"
#include "tmcc/rtsp/codec/message.h"
#include "tmcc/rtsp/codec/text.h"

namespace rt = qrv::tmcc::rtsp;

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// Byte by byte costs the square of the length: only for short inputs.
constexpr size_t kIncrementalBound = 2048;

template <typename Parse>
void SameIncrementally(std::span<const uint8_t> bytes, Parse parse) {
  const auto whole = parse(bytes);
  Check(whole.consumed <= bytes.size());
  Check((whole.status == rt::ParseStatus::kMessage) == (whole.consumed > 0));
  if (bytes.size() > kIncrementalBound) return;
  for (size_t n = 0; n <= bytes.size(); ++n) {
    const auto r = parse(bytes.first(n));
    if (r.status == rt::ParseStatus::kNeedMore) {
      Check(r.consumed == 0);
      continue;
    }
    Check(r.status == whole.status && r.error == whole.error && r.consumed == whole.consumed);
    Check(r.status == rt::ParseStatus::kError || r.consumed == n);
    return;
  }
  Check(whole.status == rt::ParseStatus::kNeedMore);
}

void RebuildsTheSame(const rt::Response& response) {
  std::vector<rt::Header> headers;
  for (const rt::Header& h : response.headers.all()) {
    if (!rt::EqualsIgnoreCase(h.name, "CSeq") && !rt::EqualsIgnoreCase(h.name, "Content-Length"))
      headers.push_back(h);
  }
  const uint32_t cseq = response.cseq().value_or(0);
  const auto built =
      rt::BuildRtspResponse(response.status, response.reason, cseq, headers, response.body);
  Check(built.has_value());
  const auto bytes =
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(built->data()), built->size());
  const auto again = rt::ParseRtspResponse(bytes);
  Check(again.status == rt::ParseStatus::kMessage && again.consumed == built->size());
  Check(again.response.status == response.status && again.response.reason == response.reason);
  Check(again.response.body == response.body && again.response.cseq() == cseq);
  // Its fields: CSeq, the others in order, Content-Length for a body.
  const auto& fields = again.response.headers.all();
  Check(fields.size() == headers.size() + 1 + (response.body.empty() ? 0 : 1));
  for (size_t i = 0; i < headers.size(); ++i) {
    Check(fields[i + 1].name == headers[i].name && fields[i + 1].value == headers[i].value);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the parser, the rest is what arrived.
  const uint8_t mode = data[0];
  const std::span<const uint8_t> bytes(data + 1, size - 1);
  switch (mode % 4) {
    case 0: {
      SameIncrementally(bytes, [](auto b) { return rt::ParseRtspResponse(b); });
      const auto r = rt::ParseRtspResponse(bytes);
      // The builder writes "name: value\r\n" and its own CSeq and
      // Content-Length: only a message with room for that must fit again.
      const size_t block = r.consumed - r.response.body.size();
      const size_t fields = r.response.headers.size();
      if (r.status == rt::ParseStatus::kMessage && fields + 2 <= rt::kMaxHeaderCount &&
          block + 3 * fields + 64 <= rt::kMaxHeaderBlock)
        RebuildsTheSame(r.response);
      break;
    }
    case 1:
      SameIncrementally(bytes, [](auto b) { return rt::ParseRtspRequest(b); });
      break;
    case 2: {
      SameIncrementally(bytes, [](auto b) { return rt::ParseHttpResponse(b); });
      const auto closed = rt::ParseHttpResponse(bytes, true);
      Check(closed.consumed <= bytes.size());
      Check(closed.response.body.size() <= rt::kMaxBody);
      break;
    }
    default: {
      // A receive buffer split item after item, as a stream client does.
      std::span<const uint8_t> rest = bytes;
      while (!rest.empty()) {
        const auto item = rt::SplitInterleaved(rest);
        if (item.kind == rt::InterleavedKind::kNeedMore ||
            item.kind == rt::InterleavedKind::kError) {
          Check(item.consumed == 0);
          break;
        }
        Check(item.consumed > 0 && item.consumed <= rest.size());
        if (item.kind == rt::InterleavedKind::kPacket) {
          Check(item.packet.data() >= rest.data() &&
                item.packet.data() + item.packet.size() == rest.data() + item.consumed);
        }
        rest = rest.subspan(item.consumed);
      }
      break;
    }
  }
  return 0;
}
