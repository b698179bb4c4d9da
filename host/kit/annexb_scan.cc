#include "host/kit/annexb_scan.h"

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

}  // namespace qrv::host
