#include "tmcc/rtsp/codec/annexb.h"

namespace qrv::tmcc::rtsp {

namespace {

// Where the next 00 00 01 begins at or after `from`, or the stream's size.
size_t FindStartCode(std::span<const uint8_t> s, size_t from) {
  for (size_t i = from; i + 2 < s.size(); ++i) {
    if (s[i + 2] > 1) {
      i += 2;  // none of the three bytes ending here can start a code
      continue;
    }
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) return i;
  }
  return s.size();
}

}  // namespace

std::vector<std::span<const uint8_t>> SplitAnnexB(std::span<const uint8_t> stream) {
  std::vector<std::span<const uint8_t>> units;
  size_t code = FindStartCode(stream, 0);
  while (code < stream.size()) {
    const size_t begin = code + 3;
    const size_t next = FindStartCode(stream, begin);
    size_t end = next;
    while (end > begin && stream[end - 1] == 0) --end;
    if (end > begin) units.push_back(stream.subspan(begin, end - begin));
    code = next;
  }
  return units;
}

void AppendAnnexB(std::vector<uint8_t>& out, std::span<const uint8_t> nal) {
  out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
  out.insert(out.end(), nal.begin(), nal.end());
}

}  // namespace qrv::tmcc::rtsp
