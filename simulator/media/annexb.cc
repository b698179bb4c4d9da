#include "simulator/media/annexb.h"

#include <algorithm>

namespace qrv::sim {

std::vector<NalUnit> SplitAnnexB(std::span<const uint8_t> s) {
  std::vector<NalUnit> units;
  size_t i = 0, start = 0;
  bool inUnit = false;
  auto close = [&](size_t end) {
    // A 4-byte start code leaves its leading zero on the previous unit.
    while (end > start && s[end - 1] == 0) --end;
    if (inUnit && end > start) units.push_back({start, end - start, s[start] & 0x1F});
  };
  while (i + 2 < s.size()) {
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
      close(i);
      start = i + 3;
      inUnit = true;
      i += 3;
    } else {
      ++i;
    }
  }
  close(s.size());
  return units;
}

namespace {

uint8_t H265Type(int h264Type) {
  switch (h264Type) {
    case 1:
      return 1;  // TRAIL_R
    case 5:
      return 19;  // IDR_W_RADL
    case 6:
      return 39;  // PREFIX_SEI
    case 7:
      return 33;  // SPS
    case 8:
      return 34;  // PPS
    case 9:
      return 35;  // AUD
    default:
      return 62;  // unspecified
  }
}

}  // namespace

std::vector<uint8_t> WithH265NalHeaders(std::span<const uint8_t> stream) {
  static const uint8_t kVpsPayload[] = {0x0C, 0x01, 0xFF, 0xFF};
  std::vector<uint8_t> out;
  out.reserve(stream.size() + stream.size() / 64 + 32);
  auto put = [&out](uint8_t type, std::span<const uint8_t> payload) {
    out.insert(out.end(), {0, 0, 0, 1, static_cast<uint8_t>(type << 1), 1});
    out.insert(out.end(), payload.begin(), payload.end());
  };
  for (const NalUnit& nal : SplitAnnexB(stream)) {
    if (nal.type == 7) put(32, kVpsPayload);  // a VPS before each SPS
    put(H265Type(nal.type), stream.subspan(nal.offset + 1, nal.size - 1));
  }
  return out;
}

std::vector<uint8_t> BuildUserDataSei(std::span<const uint8_t> data) {
  std::vector<uint8_t> rbsp;
  rbsp.push_back(5);  // user data unregistered
  size_t size = kAuxSeiUuid.size() + data.size();
  while (size >= 255) {
    rbsp.push_back(0xFF);
    size -= 255;
  }
  rbsp.push_back(static_cast<uint8_t>(size));
  rbsp.insert(rbsp.end(), kAuxSeiUuid.begin(), kAuxSeiUuid.end());
  rbsp.insert(rbsp.end(), data.begin(), data.end());
  rbsp.push_back(0x80);  // rbsp trailing bits

  std::vector<uint8_t> out = {0, 0, 0, 1, 0x06};
  out.reserve(out.size() + rbsp.size() + rbsp.size() / 64 + 4);
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return out;
}

bool ParseUserDataSei(std::span<const uint8_t> nal, std::vector<uint8_t>& data) {
  if (nal.empty() || (nal[0] & 0x1F) != 6) return false;
  std::vector<uint8_t> rbsp;
  rbsp.reserve(nal.size());
  int zeros = 0;
  for (size_t i = 1; i < nal.size(); ++i) {
    const uint8_t b = nal[i];
    if (zeros >= 2 && b == 3) {
      zeros = 0;
      continue;
    }
    rbsp.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  size_t pos = 0;
  auto readVar = [&](size_t& value) {
    value = 0;
    while (pos < rbsp.size() && rbsp[pos] == 0xFF) {
      value += 255;
      ++pos;
    }
    if (pos >= rbsp.size()) return false;
    value += rbsp[pos++];
    return true;
  };
  size_t type = 0, size = 0;
  if (!readVar(type) || type != 5 || !readVar(size)) return false;
  if (size < kAuxSeiUuid.size() || rbsp.size() - pos < size) return false;
  if (!std::equal(kAuxSeiUuid.begin(), kAuxSeiUuid.end(), rbsp.begin() + pos)) return false;
  data.assign(rbsp.begin() + pos + kAuxSeiUuid.size(), rbsp.begin() + pos + size);
  return true;
}

}  // namespace qrv::sim
