// A pure scan of an H.264 Annex B byte stream: the NAL unit types in order
// and the number of pictures, so a recording can be checked independently of
// any decoder (a decoder silently drops pictures before the first IDR).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qrv::host {

struct AnnexBSummary {
  std::vector<uint8_t> nalTypes;  // nal_unit_type of every NAL unit, in order
  uint64_t pictures = 0;          // coded slices (types 1 and 5) starting a picture
  uint64_t idrPictures = 0;
  int firstVclType = -1;            // type of the first slice NAL unit, -1 if none
  bool parameterSetsFirst = false;  // SPS and PPS both before the first slice
  size_t leadingGarbage = 0;        // bytes before the first start code
};

// Start codes are 00 00 01 or 00 00 00 01. A slice starts a new picture when
// its first_mb_in_slice is 0, which is the first bit after the NAL header
// being 1 (ue(v) of 0 is the single bit 1).
AnnexBSummary ScanAnnexB(std::span<const uint8_t> bytes);

// The picture count of a recording file, read in pieces so a file of any
// size costs a fixed amount of memory. Counts as ScanAnnexB does.
struct FilePictures {
  bool read = false;  // the file could be read to its end
  uint64_t bytes = 0;
  uint64_t pictures = 0;
  uint64_t idrPictures = 0;
  int firstVclType = -1;
};

// Feeds pieces of an Annex B stream in order; start codes may straddle pieces.
class PictureCounter {
 public:
  void Feed(std::span<const uint8_t> piece);
  const FilePictures& Result() const { return result_; }

 private:
  FilePictures result_;
  int zeros_ = 0;      // zero bytes just seen (start code search)
  int afterCode_ = 0;  // 1: next byte is a NAL header; 2: next is the slice's first byte
  uint8_t type_ = 0;
};

FilePictures CountPicturesInFile(const std::string& path);

// The start of a recording file only: read until the first slice is found or
// `limit` bytes are read, so its cost does not grow with the file. `read` is
// true when nothing failed up to there; the counts cover what was read.
FilePictures ScanFileStart(const std::string& path, uint64_t limit);

}  // namespace qrv::host
