#include "host/kit/annexb_scan.h"

#include <algorithm>
#include <fstream>
#include <vector>

namespace qrv::host {
namespace {

// Offset of the first byte after the next start code at or after `from`, or
// bytes.size() when there is none.
size_t NextNalStart(std::span<const uint8_t> bytes, size_t from) {
  for (size_t i = from; i + 3 <= bytes.size(); ++i) {
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) return i + 3;
  }
  return bytes.size();
}

// What the scan needs of a NAL unit header's first byte.
struct NalHead {
  uint8_t type;
  bool slice;
  bool key;
};

NalHead Head(StreamCodec codec, uint8_t b) {
  if (codec == StreamCodec::kH264) {
    const uint8_t type = b & 0x1f;
    return {type, type == 1 || type == 5, type == 5};
  }
  const uint8_t type = (b >> 1) & 0x3f;
  return {type, type <= 31, type >= 16 && type <= 21};
}

}  // namespace

StreamCodec GuessCodec(std::span<const uint8_t> bytes) {
  const size_t start = NextNalStart(bytes, 0);
  if (start >= bytes.size()) return StreamCodec::kH264;
  // H.265 VPS, SPS, PPS, delimiter and prefix SEI of layer 0. As H.264
  // headers they would be types 0, 2, 4, 6 and 14: nothing an H.264 stream
  // begins with but SEI, which H.264 writers mark nal_ref_idc 0 (0x06).
  switch (bytes[start]) {
    case 0x40:
    case 0x42:
    case 0x44:
    case 0x46:
    case 0x4e:
      return StreamCodec::kH265;
    default:
      return StreamCodec::kH264;
  }
}

StreamCodec GuessFileCodec(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<char> head(256);
  file.read(head.data(), static_cast<std::streamsize>(head.size()));
  const auto got = static_cast<size_t>(file.gcount());
  return GuessCodec({reinterpret_cast<const uint8_t*>(head.data()), got});
}

const char* CodecEnding(StreamCodec codec) {
  return codec == StreamCodec::kH265 ? ".265" : ".264";
}

const char* CodecName(StreamCodec codec) {
  return codec == StreamCodec::kH265 ? "hevc" : "h264";
}

AnnexBSummary ScanAnnexB(std::span<const uint8_t> bytes, StreamCodec codec) {
  AnnexBSummary summary;
  size_t start = NextNalStart(bytes, 0);
  if (start < bytes.size()) {
    // A four-byte start code's leading zero is not garbage.
    size_t codeAt = start - 3;
    summary.leadingGarbage = (codeAt > 0 && bytes[codeAt - 1] == 0) ? codeAt - 1 : codeAt;
  } else {
    summary.leadingGarbage = bytes.size();
  }
  const bool h265 = codec == StreamCodec::kH265;
  bool vps = !h265;
  bool sps = false;
  bool pps = false;
  while (start < bytes.size()) {
    const NalHead head = Head(codec, bytes[start]);
    summary.nalTypes.push_back(head.type);
    if (h265 && head.type == 32) vps = true;
    if (head.type == (h265 ? 33 : 7)) sps = true;
    if (head.type == (h265 ? 34 : 8)) pps = true;
    if (head.slice) {
      if (summary.firstVclType < 0) {
        summary.firstVclType = head.type;
        summary.firstIsKey = head.key;
        summary.parameterSetsFirst = vps && sps && pps;
      }
      const size_t first = start + (h265 ? 2 : 1);
      bool firstSlice = first < bytes.size() && (bytes[first] & 0x80) != 0;
      if (firstSlice) {
        ++summary.pictures;
        if (head.key) ++summary.idrPictures;
      }
    }
    start = NextNalStart(bytes, start + 1);
  }
  return summary;
}

void PictureCounter::Feed(std::span<const uint8_t> piece) {
  result_.bytes += piece.size();
  for (uint8_t byte : piece) {
    if (afterCode_ == 1) {
      const NalHead head = Head(codec_, byte);
      key_ = head.key;
      afterCode_ = !head.slice ? 0 : codec_ == StreamCodec::kH265 ? 3 : 2;
      if (head.slice && result_.firstVclType < 0) {
        result_.firstVclType = head.type;
        result_.firstIsKey = head.key;
      }
    } else if (afterCode_ == 3) {
      afterCode_ = 2;  // the second byte of an H.265 header
    } else if (afterCode_ == 2) {
      afterCode_ = 0;
      if ((byte & 0x80) != 0) {
        ++result_.pictures;
        if (key_) ++result_.idrPictures;
      }
    }
    if (byte == 1 && zeros_ >= 2) {
      afterCode_ = 1;
      zeros_ = 0;
    } else {
      zeros_ = byte == 0 ? zeros_ + 1 : 0;
    }
  }
}

FilePictures CountPicturesInFile(const std::string& path, StreamCodec codec) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  PictureCounter counter(codec);
  std::vector<char> buffer(1 << 20);
  while (file) {
    file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    auto got = static_cast<size_t>(file.gcount());
    counter.Feed({reinterpret_cast<const uint8_t*>(buffer.data()), got});
  }
  FilePictures result = counter.Result();
  result.read = file.eof();
  return result;
}

FilePictures ScanFileStart(const std::string& path, uint64_t limit, StreamCodec codec) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  PictureCounter counter(codec);
  std::vector<char> buffer(64 << 10);
  while (file && counter.Result().firstVclType < 0 && counter.Result().bytes < limit) {
    const uint64_t left = limit - counter.Result().bytes;
    file.read(buffer.data(), static_cast<std::streamsize>(std::min<uint64_t>(buffer.size(), left)));
    auto got = static_cast<size_t>(file.gcount());
    counter.Feed({reinterpret_cast<const uint8_t*>(buffer.data()), got});
  }
  FilePictures result = counter.Result();
  result.read = !file.bad();
  return result;
}

}  // namespace qrv::host
