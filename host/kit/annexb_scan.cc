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

}  // namespace

AnnexBSummary ScanAnnexB(std::span<const uint8_t> bytes) {
  AnnexBSummary summary;
  size_t start = NextNalStart(bytes, 0);
  if (start < bytes.size()) {
    // A four-byte start code's leading zero is not garbage.
    size_t codeAt = start - 3;
    summary.leadingGarbage = (codeAt > 0 && bytes[codeAt - 1] == 0) ? codeAt - 1 : codeAt;
  } else {
    summary.leadingGarbage = bytes.size();
  }
  bool sps = false;
  bool pps = false;
  while (start < bytes.size()) {
    uint8_t header = bytes[start];
    uint8_t type = header & 0x1f;
    summary.nalTypes.push_back(type);
    if (type == 7) sps = true;
    if (type == 8) pps = true;
    if (type == 1 || type == 5) {
      if (summary.firstVclType < 0) {
        summary.firstVclType = type;
        summary.parameterSetsFirst = sps && pps;
      }
      bool firstSlice = start + 1 < bytes.size() && (bytes[start + 1] & 0x80) != 0;
      if (firstSlice) {
        ++summary.pictures;
        if (type == 5) ++summary.idrPictures;
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
      type_ = byte & 0x1f;
      afterCode_ = (type_ == 1 || type_ == 5) ? 2 : 0;
      if (afterCode_ == 2 && result_.firstVclType < 0) result_.firstVclType = type_;
    } else if (afterCode_ == 2) {
      afterCode_ = 0;
      if ((byte & 0x80) != 0) {
        ++result_.pictures;
        if (type_ == 5) ++result_.idrPictures;
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

FilePictures CountPicturesInFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  PictureCounter counter;
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

FilePictures ScanFileStart(const std::string& path, uint64_t limit) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  PictureCounter counter;
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
